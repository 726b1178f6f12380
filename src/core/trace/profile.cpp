// The observation table and the profile summary of one trace: where the time went (retrieval,
// generation, time to first token) and the throughput of each model call.
#include "core/trace/profile.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <string_view>
#include <utility>

#include "core/common/errors.h"

namespace mosswork::core::trace {
namespace {

constexpr std::string_view kGeneration = "GENERATION";
constexpr std::string_view kOutputParser = "vynStrOutputParser";
constexpr std::array<std::string_view, 2> kModelProcesses = {"ChatOpenAI", "AzureChatOpenAI"};
constexpr std::array<std::string_view, 3> kRetrievalProcesses = {
    "create_vs_by_yaml", "VectorStoreRetriever", "reranker"};

// Characters as Python counts them: code points, so every byte that does not continue one.
std::size_t code_points(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  }));
}

// Index of name in processes, or processes.size() when it is none of them.
template <std::size_t N>
std::size_t process_index(const std::array<std::string_view, N>& processes,
                          const std::string& name) {
  return static_cast<std::size_t>(std::find(processes.begin(), processes.end(), name) -
                                  processes.begin());
}

// A rate per second, or null when the call took no measurable time (a cached answer).
std::optional<double> per_second(double amount, const Number& latency) {
  if (latency.value == 0) return std::nullopt;
  return amount / latency.value;
}

}  // namespace

double seconds_between(Nanos from, Nanos to) {
  Nanos apart = 0;
  if (!__builtin_sub_overflow(to, from, &apart)) return static_cast<double>(apart) / 1e9;
  return (static_cast<double>(to) - static_cast<double>(from)) / 1e9;
}

Report build_report(const std::string& trace_id, std::vector<Observation> collected,
                    Number retrieval_duration) {
  Report report;
  Summary& summary = report.summary;
  summary.trace_id = trace_id;

  bool any_generation = false;
  for (auto it = collected.rbegin(); it != collected.rend(); ++it) {
    Row row;
    row.name = it->name;
    row.start_time = it->start_time;
    row.end_time = it->end_time;
    row.id = it->id;
    row.latency = it->latency;
    row.parent_id = it->parent_id;
    row.no = report.rows.size();
    report.rows.push_back(std::move(row));
    any_generation = any_generation || it->type == kGeneration;
  }
  if (!any_generation) throw InvalidArgument("None generation found.");
  const Nanos origin = report.rows.front().start_time;
  for (Row& row : report.rows) row.time_offset = seconds_between(origin, row.start_time);
  report.root_id = report.rows.front().id;

  const Row& last = report.rows.back();
  summary.duration = last.time_offset + last.latency.value;
  // The parser's start marks the first token reaching the caller; of several, the last row's.
  auto parser = std::find_if(report.rows.rbegin(), report.rows.rend(),
                             [](const Row& row) { return row.name == kOutputParser; });
  if (parser == report.rows.rend()) {
    throw InvalidArgument("the trace has no \"vynStrOutputParser\" observation");
  }
  summary.time_to_first_token = parser->time_offset;
  summary.first_token_timestamp = parser->start_time;

  // Integers add up to an integer; one float among them makes the sum a float.
  summary.generation_duration = Number{0, true};
  for (const Observation& o : collected) {
    if (o.type != kGeneration) continue;
    summary.generation_duration.value += o.latency.value;
    summary.generation_duration.integral =
        summary.generation_duration.integral && o.latency.integral;
  }

  std::array<std::vector<ModelCall>, kModelProcesses.size()> calls;
  std::array<std::vector<RetrievalStep>, kRetrievalProcesses.size()> steps;
  double retrieve_duration_in_sequence = 0;
  for (Observation& o : collected) {
    const double offset = seconds_between(origin, o.start_time);
    if (std::size_t i = process_index(kModelProcesses, o.name); i < kModelProcesses.size()) {
      ModelCall call;
      call.process = o.name;
      call.output_token = o.completion_tokens;
      call.duration = o.latency;
      call.time_offset = offset;
      call.charactor_num = code_points(o.output_text);
      call.model = o.model;
      call.charactor_per_s = per_second(static_cast<double>(call.charactor_num), o.latency);
      if (o.completion_tokens) call.token_per_s = per_second(o.completion_tokens->value, o.latency);
      call.input = std::move(o.input_text);
      call.output = std::move(o.output_text);
      calls[i].push_back(std::move(call));
    }
    if (std::size_t i = process_index(kRetrievalProcesses, o.name);
        i < kRetrievalProcesses.size()) {
      retrieve_duration_in_sequence += o.latency.value;
      steps[i].push_back(RetrievalStep{o.name, o.latency, offset});
    }
  }
  for (auto& group : calls) {
    std::move(group.begin(), group.end(), std::back_inserter(summary.model_calls));
  }
  for (auto& group : steps) {
    std::move(group.begin(), group.end(), std::back_inserter(summary.retrieval_steps));
  }

  summary.retrieve_duration = retrieval_duration;
  // The summed single steps against the wall clock of the whole retrieval: above 1 when the
  // steps ran side by side.
  if (retrieval_duration.value > 0) {
    summary.speedup = Number{retrieve_duration_in_sequence / retrieval_duration.value, false};
  }
  return report;
}

}  // namespace mosswork::core::trace
