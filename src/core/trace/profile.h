// What a trace performance report is drawn from: the finished observations of one trace, the
// table built from them and the profile summary computed over them. Plain data, no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mosswork::core::trace {

// A time stamp: nanoseconds since the epoch, UTC.
using Nanos = std::int64_t;

// Seconds from one stamp to another, exact where the difference fits in 64 bits, otherwise (more
// than 292 years apart) the difference of the doubles.
double seconds_between(Nanos from, Nanos to);

// A number as the trace held it. Tables show an integer as it is and round a float to 3
// decimals, so the kind is kept beside the value.
struct Number {
  double value = 0;
  bool integral = false;
};

// One finished observation, as collected (page order, first page first).
struct Observation {
  std::string id;
  std::string name;
  std::string type;  // "GENERATION" marks a model call
  std::optional<std::string> parent_id;
  Nanos start_time = 0;
  Nanos end_time = 0;
  Number latency;  // seconds
  // Read for model calls only (observations named "ChatOpenAI" or "AzureChatOpenAI").
  std::optional<Number> completion_tokens;
  std::optional<std::string> model;
  std::string input_text;   // the "content" of every input message, joined with "\n"
  std::string output_text;  // the "content" of the output
};

// One row of the observation table, in report order.
struct Row {
  std::string name;
  Nanos start_time = 0;
  Nanos end_time = 0;
  std::string id;
  Number latency;
  std::optional<std::string> parent_id;
  double time_offset = 0;  // seconds from the first row's start; earlier rows are negative
  std::size_t no = 0;      // row position
};

struct ModelCall {
  std::string process;  // "ChatOpenAI" or "AzureChatOpenAI"
  std::optional<Number> output_token;
  Number duration;
  double time_offset = 0;
  std::size_t charactor_num = 0;  // characters (code points) of the output text
  std::optional<std::string> model;
  std::string input;
  std::string output;
  // Null when the call took no measurable time (a cached answer) or counted no tokens.
  std::optional<double> charactor_per_s;
  std::optional<double> token_per_s;
};

struct RetrievalStep {
  std::string process;  // "create_vs_by_yaml", "VectorStoreRetriever" or "reranker"
  Number duration;
  double time_offset = 0;
};

struct Summary {
  std::string trace_id;
  double duration = 0;
  double time_to_first_token = 0;  // shown unrounded
  Nanos first_token_timestamp = 0;
  Number generation_duration;
  // Grouped by process in the order ChatOpenAI, AzureChatOpenAI; collection order within one.
  std::vector<ModelCall> model_calls;
  Number retrieve_duration{0, true};
  // Grouped by process in the order create_vs_by_yaml, VectorStoreRetriever, reranker.
  std::vector<RetrievalStep> retrieval_steps;
  Number speedup{0, true};
};

struct Report {
  std::vector<Row> rows;
  std::string root_id;  // id of the first row: the root of the flame graph
  Summary summary;
  std::string build_version = "None";  // text form; "None" when not configured
  std::string build_date = "None";
};

// The rows and the profile summary of one trace. `collected` holds the finished observations in
// collection order; the rows are that order reversed (the listing delivers the newest first), and
// the first row's start is time zero. retrieval_duration is the wall-clock time of the whole
// retrieval (the "retriever_binding" step), 0 when there was none. build_version and build_date
// are left for the caller. Throws InvalidArgument when no observation is a model call
// ("GENERATION") or none is the chain's output parser ("vynStrOutputParser").
Report build_report(const std::string& trace_id, std::vector<Observation> collected,
                    Number retrieval_duration);

}  // namespace mosswork::core::trace
