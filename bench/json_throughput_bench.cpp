// Request-line throughput: our parse + inject_token + serialize_compact
// against RapidJSON and nlohmann::json doing the same job, on the corpora in
// TRELLUNE_CORPUS_DIR (one JSON text per line).
//
// Every contender gets every non-blank line, as the bridge would: a line that
// parses to an object gains the member "token" and is written compactly with
// members in key order; any other line (non-object or malformed) costs only
// its failed or discarded parse, since it would be forwarded unchanged. Rates
// are MB/s of input lines.
//
// RapidJSON: default parse flags on NUL-terminated lines (its fastest input
// stream), then every object's members sorted by key
// (byte-wise, recursively), written with rapidjson::Writer. Repeated keys stay
// repeated there. nlohmann::json: the default std::map-ordered json, parsed
// without exceptions, dumped compactly.
//
// The number micro benchmarks run over each number literal of the canada
// document alone: our conversion (the parser's number routine on the
// literal) against std::from_chars on the same literal. parse_json of each
// literal (the same routine behind the parser's set-up and result) and our
// parse of the whole document are listed beside them for reference.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "repeated_runs.hpp"
#include "json/internal/parse_number.hpp"
#include "json/json_value.hpp"

namespace {

constexpr std::string_view kToken = "0123456789abcdef0123456789abcdef";
constexpr const char* kCorpora[] = {"twitter", "citm_catalog", "canada", "mcp_small", "large", "mix"};

struct Corpus {
  std::string name;
  std::string text;
  std::vector<std::string> owned_lines;   // non-blank lines, each NUL-terminated
  std::vector<std::string_view> lines;    // views of owned_lines
  std::size_t bytes = 0;
};

Corpus load_corpus(const std::string& name) {
  Corpus corpus;
  corpus.name = name;
  std::ifstream in(std::string(TRELLUNE_CORPUS_DIR) + "/" + name + ".jsonl", std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  corpus.text = content.str();
  std::string_view rest = corpus.text;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    corpus.owned_lines.emplace_back(line);
    corpus.bytes += line.size();
  }
  for (const std::string& line : corpus.owned_lines) corpus.lines.emplace_back(line);
  return corpus;
}

void ours(benchmark::State& state, const Corpus* corpus) {
  for (auto _ : state) {
    for (std::string_view line : corpus->lines) {
      trellune::JsonParseResult result = trellune::parse_json(line, {.reserve_one_member = true});
      if (!result.ok() || !result.value().is_object()) continue;
      // The text's size reserved as the relay reserves it.
      trellune::JsonText out =
          trellune::inject_token(std::move(result.value().as_object()), kToken, line.size() + kToken.size() + 16);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
}

void ours_parse_only(benchmark::State& state, const Corpus* corpus) {
  for (auto _ : state) {
    for (std::string_view line : corpus->lines) {
      trellune::JsonParseResult result = trellune::parse_json(line);
      benchmark::DoNotOptimize(&result);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
}

struct RapidKeyLess {
  bool operator()(const rapidjson::Value::Member& a, const rapidjson::Value::Member& b) const {
    const std::string_view x(a.name.GetString(), a.name.GetStringLength());
    const std::string_view y(b.name.GetString(), b.name.GetStringLength());
    return trellune::json_key_less(x, y);
  }
};

void rapid_sort(rapidjson::Value& value) {
  if (value.IsObject()) {
    std::sort(value.MemberBegin(), value.MemberEnd(), RapidKeyLess());
    // Indexes rather than iterators: comparing RapidJSON's iterators is
    // ambiguous under C++20's reversed operators.
    for (rapidjson::SizeType i = 0; i < value.MemberCount(); ++i) rapid_sort(value.MemberBegin()[i].value);
  } else if (value.IsArray()) {
    for (rapidjson::SizeType i = 0; i < value.Size(); ++i) rapid_sort(value[i]);
  }
}

void rapidjson_baseline(benchmark::State& state, const Corpus* corpus) {
  for (auto _ : state) {
    for (const std::string& line : corpus->owned_lines) {
      rapidjson::Document document;
      // The NUL-terminated entry point: RapidJSON's fastest input stream.
      document.Parse(line.c_str());
      if (document.HasParseError() || !document.IsObject()) continue;
      auto& allocator = document.GetAllocator();
      rapidjson::Value token_value(kToken.data(), static_cast<rapidjson::SizeType>(kToken.size()), allocator);
      if (document.HasMember("token")) {
        document["token"] = token_value;
      } else {
        document.AddMember("token", token_value, allocator);
      }
      rapid_sort(document);
      rapidjson::StringBuffer buffer;
      rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
      document.Accept(writer);
      benchmark::DoNotOptimize(buffer.GetString());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
}

void nlohmann_baseline(benchmark::State& state, const Corpus* corpus) {
  for (auto _ : state) {
    for (std::string_view line : corpus->lines) {
      nlohmann::json document = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
      if (document.is_discarded() || !document.is_object()) continue;
      document["token"] = kToken;
      std::string out = document.dump();
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
}

// The number literals of a text: maximal runs of number bytes outside strings.
std::vector<std::string_view> number_literals(std::string_view text) {
  std::vector<std::string_view> literals;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      const std::size_t end = text.find_first_not_of("+-.eE0123456789", i);
      literals.push_back(text.substr(i, end - i));
      i = end - 1;
    }
  }
  return literals;
}

void numbers_ours(benchmark::State& state, const Corpus* corpus, std::size_t literals) {
  for (auto _ : state) {
    trellune::JsonParseResult result = trellune::parse_json(corpus->lines.front());
    benchmark::DoNotOptimize(&result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * literals));
}

void numbers_ours_each_literal(benchmark::State& state, const Corpus* corpus,
                                const std::vector<std::string_view>* literals) {
  for (auto _ : state) {
    for (std::string_view literal : *literals) {
      trellune::JsonNumber number = trellune::JsonNumber::from_uint64(0);
      const bool ok = trellune::json_internal::parse_number_literal(literal, number);
      benchmark::DoNotOptimize(ok);
      benchmark::DoNotOptimize(number);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * literals->size()));
}

void numbers_parse_json_each_literal(benchmark::State& state, const Corpus* corpus,
                                     const std::vector<std::string_view>* literals) {
  for (auto _ : state) {
    for (std::string_view literal : *literals) {
      trellune::JsonParseResult result = trellune::parse_json(literal);
      const trellune::JsonNumber number = result.value().as_number();
      benchmark::DoNotOptimize(number);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * literals->size()));
}

void numbers_from_chars(benchmark::State& state, const Corpus* corpus, const std::vector<std::string_view>* literals) {
  for (auto _ : state) {
    for (std::string_view literal : *literals) {
      double value = 0;
      std::from_chars(literal.data(), literal.data() + literal.size(), value);
      benchmark::DoNotOptimize(value);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * literals->size()));
}

// Each corpus's rates side by side, by the best repetition of each
// contender and by the median.
void print_ratios(std::ostream& out, const trellune::bench::RepetitionReporter& reporter) {
  using Statistic = double (trellune::bench::RepetitionReporter::*)(const std::string&) const;
  const std::pair<const char*, Statistic> statistics[] = {
      {"best repetition", &trellune::bench::RepetitionReporter::best},
      {"median", &trellune::bench::RepetitionReporter::median}};
  for (const auto& entry : statistics) {
    const char* const title = entry.first;
    const Statistic statistic = entry.second;
    const auto rate = [&](const std::string& name) { return (reporter.*statistic)(name) / 1e6; };
    char row[200];
    std::snprintf(row, sizeof row, "\n%-14s %10s %15s %14s %13s %12s   (%s)\n", "corpus", "ours MB/s", "rapidjson MB/s",
                  "nlohmann MB/s", "vs rapidjson", "vs nlohmann", title);
    out << row;
    for (const char* corpus : kCorpora) {
      const double ours = rate("ours/" + std::string(corpus));
      const double rapid = rate("rapidjson/" + std::string(corpus));
      const double nlohmann = rate("nlohmann/" + std::string(corpus));
      if (ours == 0) continue;
      // A baseline that was filtered out shows as 0.
      std::snprintf(row, sizeof row, "%-14s %10.1f %15.1f %14.1f %12.2fx %11.2fx\n", corpus, ours, rapid, nlohmann,
                    rapid > 0 ? ours / rapid : 0.0, nlohmann > 0 ? ours / nlohmann : 0.0);
      out << row;
    }
    const double ours_numbers = rate("numbers/ours_each_literal/canada");
    const double from_chars_numbers = rate("numbers/from_chars_each_literal/canada");
    if (ours_numbers > 0 && from_chars_numbers > 0) {
      std::snprintf(row, sizeof row, "number literals of canada: ours %.1f MB/s, std::from_chars %.1f MB/s: %.2fx\n",
                    ours_numbers, from_chars_numbers, ours_numbers / from_chars_numbers);
      out << row;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  static std::vector<Corpus> corpora;
  for (const char* name : kCorpora) {
    corpora.push_back(load_corpus(name));
    if (corpora.back().lines.empty()) {
      std::cerr << "empty or missing corpus " << name << " in " << TRELLUNE_CORPUS_DIR << "\n";
      return 1;
    }
  }
  for (const Corpus& corpus : corpora) {
    benchmark::RegisterBenchmark(("ours/" + corpus.name).c_str(), ours, &corpus);
    benchmark::RegisterBenchmark(("rapidjson/" + corpus.name).c_str(), rapidjson_baseline, &corpus);
    benchmark::RegisterBenchmark(("nlohmann/" + corpus.name).c_str(), nlohmann_baseline, &corpus);
    benchmark::RegisterBenchmark(("ours_parse_only/" + corpus.name).c_str(), ours_parse_only, &corpus);
  }
  const Corpus& canada = *std::find_if(corpora.begin(), corpora.end(), [](const Corpus& c) { return c.name == "canada"; });
  static const std::vector<std::string_view> canada_numbers = number_literals(canada.lines.front());
  benchmark::RegisterBenchmark("numbers/ours_parse_document/canada", numbers_ours, &canada, canada_numbers.size());
  benchmark::RegisterBenchmark("numbers/ours_each_literal/canada", numbers_ours_each_literal, &canada,
                               &canada_numbers);
  benchmark::RegisterBenchmark("numbers/from_chars_each_literal/canada", numbers_from_chars, &canada, &canada_numbers);
  benchmark::RegisterBenchmark("numbers/parse_json_each_literal/canada", numbers_parse_json_each_literal, &canada,
                               &canada_numbers);

  trellune::bench::initialize_with_repetitions(argc, argv);
  trellune::bench::RepetitionReporter reporter("bytes_per_second");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_ratios(std::cout, reporter);
  benchmark::Shutdown();
  return 0;
}
