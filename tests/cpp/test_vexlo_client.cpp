// The vector database's REST client: base URLs, the scroll body, filtered paging against the
// stand-in, and how failures surface.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "core/common/errors.h"
#include "core/http/loop_transfer.h"
#include "core/vexlo/vexlo_client.h"
#include "support/server_process.h"
#include "support/test_http_server.h"

using namespace mosswork::core;
using namespace mosswork::core::vexlo;
using mosswork::testing::ServerProcess;
using mosswork::testing::TestHttpServer;
using mosswork::testing::TestReply;
using mosswork::testing::TestRequest;
using nlohmann::json;

namespace {

constexpr const char* kKey = "vexlo-test-key";

VexloOptions options_for(int port, std::optional<std::string> key = kKey) {
  VexloOptions o;
  o.url = "127.0.0.1";
  o.port = port;
  o.api_key = std::move(key);
  o.https = false;
  o.verify = false;
  o.timeout = std::chrono::milliseconds(5000);
  return o;
}

ServerProcess start_standin() {
  return ServerProcess({mosswork::testing::python_executable(),
                        mosswork::testing::source_dir() + "/tests/servers/vexlo_standin.py",
                        "--port", "{port}", "--api-key", kKey});
}

// Collection "kb1" with 130 points: ids 1..130, doc_id "d" + (id % 3).
void seed(VexloClient& client) {
  ASSERT_EQ(
      client.request("PUT", "/collections/kb1", R"({"vectors":{"size":2,"distance":"Cosine"}})")
          .status,
      200);
  json points = json::array();
  for (int id = 1; id <= 130; ++id) {
    points.push_back(
        {{"id", id},
         {"vector", {1.0, static_cast<double>(id)}},
         {"payload",
          {{"page_content", "chunk " + std::to_string(id)},
           {"metadata", {{"doc_id", "d" + std::to_string(id % 3)}, {"chunk_id", id}}}}}});
  }
  // Half with PUT, half with POST: both upsert.
  json first = {{"points", json(std::vector<json>(points.begin(), points.begin() + 65))}};
  json second = {{"points", json(std::vector<json>(points.begin() + 65, points.end()))}};
  ASSERT_EQ(client.request("PUT", "/collections/kb1/points", first.dump()).status, 200);
  ASSERT_EQ(client.request("POST", "/collections/kb1/points", second.dump()).status, 200);
}

}  // namespace

TEST(VexloBaseUrl, BuiltFromUrlPortAndScheme) {
  VexloOptions o;
  o.url = "127.0.0.1";
  o.port = 6333;
  o.https = false;
  EXPECT_EQ(vexlo_base_url(o), "http://127.0.0.1:6333");
  o.url = "http://vex.local:7000/api/";
  EXPECT_EQ(vexlo_base_url(o), "http://vex.local:7000/api");
  o.url = "https://vex.local";
  EXPECT_EQ(vexlo_base_url(o), "https://vex.local:6333");
  o.url = "vex.local:7001";
  EXPECT_EQ(vexlo_base_url(o), "http://vex.local:7001");
  // Without an explicit choice an API key means https.
  VexloOptions keyed;
  keyed.url = "vex.local";
  keyed.api_key = "k";
  EXPECT_EQ(vexlo_base_url(keyed), "https://vex.local:6333");
  VexloOptions none;
  EXPECT_EQ(vexlo_base_url(none), "http://localhost:6333");
  o.url = "ftp://vex.local";
  EXPECT_THROW(vexlo_base_url(o), InvalidArgument);
  o.url = "http://vex.local/p";
  o.prefix = "q";
  EXPECT_THROW(vexlo_base_url(o), InvalidArgument);
}

TEST(VexloClient, ScrollSendsTheClientPackagesBody) {
  std::vector<TestRequest> seen;
  std::mutex mu;
  TestHttpServer server([&](const TestRequest& req) {
    std::lock_guard lock(mu);
    seen.push_back(req);
    TestReply reply;
    reply.body = R"({"result":{"points":[],"next_page_offset":null},"status":"ok","time":0})";
    return reply;
  });
  VexloClient client(options_for(server.port()));
  client.scroll("kb one", 4,
                std::string(R"({"must":[{"key":"metadata.doc_id","match":{"value":"d1"}}]})"));
  client.scroll("kb1", 64, std::nullopt, std::string("65"));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/collections/kb%20one/points/scroll");
  EXPECT_EQ(seen[0].headers["api-key"], kKey);
  EXPECT_EQ(seen[0].headers["content-type"], "application/json");
  EXPECT_EQ(seen[0].body,
            R"({"limit":4,"filter":{"must":[{"key":"metadata.doc_id","match":{"value":"d1"}}]},)"
            R"("with_payload":true,"with_vector":false})");
  EXPECT_EQ(seen[1].body, R"({"limit":64,"offset":65,"with_payload":true,"with_vector":false})");
}

TEST(VexloClient, ScrollPagesThroughAFilteredCollection) {
  ServerProcess standin = start_standin();
  VexloClient client(options_for(standin.port()));
  seed(client);

  // The whole collection in pages of 64: 64, 64, 2, the last without a next offset.
  std::vector<std::size_t> sizes;
  std::optional<std::string> offset;
  std::vector<int> ids;
  for (int page = 0; page < 10; ++page) {
    json answer = json::parse(client.scroll("kb1", 64, std::nullopt, offset));
    const json& result = answer["result"];
    sizes.push_back(result["points"].size());
    for (const json& p : result["points"]) {
      ids.push_back(p["id"]);
      EXPECT_TRUE(p.contains("payload"));
      EXPECT_FALSE(p.contains("vector"));
    }
    if (result["next_page_offset"].is_null()) break;
    offset = result["next_page_offset"].dump();
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{64, 64, 2}));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), 130u);

  // Filtered: doc_id "d1" holds ids 1, 4, ..., 130 (44 points), read 20 at a time.
  const std::string filter = R"({"must":[{"key":"metadata.doc_id","match":{"value":"d1"}}]})";
  std::vector<int> filtered;
  offset.reset();
  int calls = 0;
  do {
    json result = json::parse(client.scroll("kb1", 20, filter, offset))["result"];
    ++calls;
    for (const json& p : result["points"]) {
      EXPECT_EQ(p["payload"]["metadata"]["doc_id"], "d1");
      filtered.push_back(p["id"]);
    }
    offset = result["next_page_offset"].is_null()
                 ? std::nullopt
                 : std::optional<std::string>(result["next_page_offset"].dump());
  } while (offset && calls < 10);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(filtered.size(), 44u);
  EXPECT_EQ(filtered.front(), 1);
  EXPECT_EQ(filtered.back(), 130);

  // "any", "should" and "must_not" conditions.
  const std::string any_filter =
      R"({"must":[{"key":"metadata.chunk_id","match":{"any":[2,5,7]}}],)"
      R"("must_not":[{"key":"metadata.doc_id","match":{"value":"d1"}}]})";
  json any = json::parse(client.scroll("kb1", 200, any_filter));
  std::vector<int> any_ids;
  for (const json& p : any["result"]["points"]) any_ids.push_back(p["id"]);
  EXPECT_EQ(any_ids, (std::vector<int>{2, 5}));  // 7 has doc_id d1
  const std::string should_filter =
      R"({"should":[{"key":"metadata.doc_id","match":{"value":"d0"}},)"
      R"({"key":"metadata.chunk_id","match":{"value":1}}]})";
  json should = json::parse(client.scroll("kb1", 3, should_filter));
  std::vector<int> should_ids;
  for (const json& p : should["result"]["points"]) should_ids.push_back(p["id"]);
  EXPECT_EQ(should_ids, (std::vector<int>{1, 3, 6}));
  EXPECT_EQ(should["result"]["next_page_offset"], 9);
}

TEST(VexloClient, CollectionsPayloadsAndFailures) {
  ServerProcess standin = start_standin();
  VexloClient client(options_for(standin.port()));
  EXPECT_EQ(json::parse(client.request("GET", "/collections/kb2/exists").body)["result"]["exists"],
            false);
  EXPECT_EQ(client.request("GET", "/collections/kb2").status, 404);
  ASSERT_EQ(client.request("PUT", "/collections/kb2", R"({"vectors":{"size":2,"distance":"Dot"}})")
                .status,
            200);
  EXPECT_EQ(json::parse(client.request("GET", "/collections/kb2/exists").body)["result"]["exists"],
            true);
  EXPECT_EQ(client.request("PUT", "/collections/kb2", "{}").status, 409);
  const std::string uuid = "6f1c5e5e-2b7a-4bd5-9e9b-0b7c6a3b1d20";
  client.request("PUT", "/collections/kb2/points",
                 R"({"points":[{"id":")" + uuid +
                     R"(","vector":[1,0],"payload":{"metadata":{"enabled":true}}}]})");
  const std::string update =
      R"({"payload":{"enabled":false},"key":"metadata","points":[")" + uuid + R"("]})";
  ASSERT_EQ(client.request("POST", "/collections/kb2/points/payload", update).status, 200);
  json page = json::parse(client.scroll("kb2", 10));
  EXPECT_EQ(page["result"]["points"][0]["payload"]["metadata"]["enabled"], false);

  // Per-call headers replace the client's (the helpers build theirs afresh every call).
  http::HeaderList bare = {{"accept", "application/json"}, {"Content-Type", "application/json"}};
  EXPECT_EQ(client.request("GET", "/collections/kb2", std::nullopt, bare).status, 401);

  try {
    client.scroll("missing", 10);
    FAIL() << "expected HttpStatusError";
  } catch (const HttpStatusError& e) {
    EXPECT_EQ(e.status(), 404);
    EXPECT_NE(e.body().find("doesn't exist"), std::string::npos);
  }
  VexloClient wrong_key(options_for(standin.port(), std::string("nope")));
  try {
    wrong_key.scroll("kb2", 10);
    FAIL() << "expected HttpStatusError";
  } catch (const HttpStatusError& e) {
    EXPECT_EQ(e.status(), 401);
    EXPECT_NE(e.body().find("Invalid api-key"), std::string::npos);
  }
  EXPECT_EQ(client.request("DELETE", "/collections/kb2").status, 200);
  EXPECT_EQ(client.request("GET", "/collections/kb2").status, 404);
}

TEST(VexloClient, TimeoutIsTheClientsAndNotRetried) {
  std::atomic<int> hits{0};
  TestHttpServer server([&](const TestRequest&) {
    ++hits;
    TestReply reply;
    reply.mode = TestReply::Mode::kStall;
    reply.stall = std::chrono::seconds(5);
    return reply;
  });
  VexloOptions o = options_for(server.port());
  o.timeout = std::chrono::milliseconds(300);
  VexloClient client(o);
  EXPECT_EQ(client.timeout(), std::chrono::milliseconds(300));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(client.scroll("kb1", 4), Timeout);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
  EXPECT_EQ(hits.load(), 1);
  EXPECT_THROW(VexloClient(options_for(mosswork::testing::free_port())).scroll("kb1", 4),
               ConnectionClosed);
}

// The request an event loop runs for AsyncVexloClient.scroll is the blocking scroll's exchange.
TEST(VexloClient, ScrollRequestForTheLoopMatchesTheBlockingScroll) {
  std::vector<TestRequest> seen;
  std::mutex mu;
  TestHttpServer server([&](const TestRequest& req) {
    std::lock_guard lock(mu);
    seen.push_back(req);
    TestReply reply;
    reply.body = R"({"result":{"points":[],"next_page_offset":null},"status":"ok","time":0})";
    return reply;
  });
  VexloOptions o = options_for(server.port());
  o.timeout = std::chrono::milliseconds(1234);
  VexloClient client(o);
  const std::string filter = R"({"must":[{"key":"metadata.doc_id","match":{"value":"d1"}}]})";
  client.scroll("kb one", 4, filter, std::string("7"));

  http::loop::BufferedRequest request =
      client.scroll_request("kb one", 4, filter, std::string("7"));
  EXPECT_EQ(request.timeout, std::chrono::milliseconds(1234));
  EXPECT_FALSE(request.verify);
  http::loop::BufferedTransfer transfer(std::move(request));
  transfer.finished(curl_easy_perform(transfer.easy()));
  EXPECT_EQ(transfer.response().status, 200);

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].method, seen[0].method);
  EXPECT_EQ(seen[1].target, "/collections/kb%20one/points/scroll");
  EXPECT_EQ(seen[1].target, seen[0].target);
  EXPECT_EQ(seen[1].body, seen[0].body);
  for (const char* name : {"api-key", "content-type", "accept"}) {
    EXPECT_EQ(seen[1].headers[name], seen[0].headers[name]) << name;
  }
  EXPECT_EQ(seen[1].headers["api-key"], kKey);

  // No key, no api-key header; verification follows the options.
  VexloOptions keyless = options_for(server.port(), std::nullopt);
  keyless.verify = true;
  http::loop::BufferedRequest plain = VexloClient(keyless).scroll_request("kb1", 1);
  EXPECT_TRUE(plain.verify);
  for (const std::string& line : plain.headers) EXPECT_FALSE(line.starts_with("api-key")) << line;
  EXPECT_THROW(client.scroll_request("", 1), InvalidArgument);
}

TEST(VexloClient, ScrollAnswerIsTheBodyOnlyFor200) {
  EXPECT_EQ(VexloClient::scroll_answer(200, "{}"), "{}");
  try {
    VexloClient::scroll_answer(404, "Not found: Collection `x` doesn't exist!");
    FAIL() << "expected HttpStatusError";
  } catch (const HttpStatusError& e) {
    EXPECT_EQ(e.status(), 404);
    EXPECT_EQ(e.body(), "Not found: Collection `x` doesn't exist!");
  }
  EXPECT_THROW(VexloClient::scroll_answer(201, ""), HttpStatusError);
}
