// A moto server for the object-store tests, with signature checks switched on: an IAM user with
// an access key allowed everything is made first, then every request must be signed with it.
#pragma once

#include <memory>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>

#include "core/http/http_client.h"
#include "server_process.h"

namespace mosswork::testing {

class MotoS3 {
 public:
  MotoS3()
      : server_({python_executable(), "-m", "moto.server", "-H", "127.0.0.1", "-p", "{port}"}),
        http_(std::make_shared<core::http::HttpClient>()) {
    iam("Action=CreateUser&UserName=tester&Version=2010-05-08");
    std::string keys = iam("Action=CreateAccessKey&UserName=tester&Version=2010-05-08");
    pugi::xml_document doc;
    doc.load_string(keys.c_str());
    auto key =
        doc.child("CreateAccessKeyResponse").child("CreateAccessKeyResult").child("AccessKey");
    access_key_ = key.child_value("AccessKeyId");
    secret_key_ = key.child_value("SecretAccessKey");
    if (access_key_.empty() || secret_key_.empty()) throw std::runtime_error("no IAM key: " + keys);
    iam("Action=PutUserPolicy&UserName=tester&PolicyName=all&Version=2010-05-08&PolicyDocument="
        "%7B%22Version%22%3A%222012-10-17%22%2C%22Statement%22%3A%5B%7B%22Effect%22%3A%22Allow%22"
        "%2C%22Action%22%3A%22%2A%22%2C%22Resource%22%3A%22%2A%22%7D%5D%7D");
    core::http::Request on;
    on.method = "POST";
    on.url = server_.base_url() + "/moto-api/reset-auth";
    on.body = "0";
    on.raise_for_status = true;
    http_->send(on);
  }

  std::string endpoint() const { return "127.0.0.1:" + std::to_string(server_.port()); }
  const std::string& access_key() const { return access_key_; }
  const std::string& secret_key() const { return secret_key_; }
  std::shared_ptr<core::http::HttpClient> http() const { return http_; }

 private:
  // An IAM query call, made while moto still accepts any signature.
  std::string iam(const std::string& form) {
    core::http::Request r;
    r.method = "POST";
    r.url = server_.base_url() + "/";
    r.body = form;
    r.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                 {"x-amz-content-sha256", "UNSIGNED-PAYLOAD"}};
    r.sigv4 = core::http::AwsSigV4{"aws:amz:us-east-1:iam", "AKIDEXAMPLE", "setup"};
    r.raise_for_status = true;
    return http_->send(r).body;
  }

  ServerProcess server_;
  std::shared_ptr<core::http::HttpClient> http_;
  std::string access_key_;
  std::string secret_key_;
};

}  // namespace mosswork::testing
