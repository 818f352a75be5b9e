// Core benchmarks: reading each representation and running each writer on the workloads of
// workloads.h, in bytes per second, with memcpy of the same octets in the same run as the limit
// and gcry_sexp_sscan (where built in) on the same canonical octets as a peer. Converting a to
// the advanced form and d to the canonical form runs three ways, all counted in input octets: a
// read and a write of the tree, the converter into one buffer, and the converter into a sink;
// a is also converted to the laid-out form (72 columns) into a sink.
//
//   tarnel_core_bench [--tiny] [benchmark flags]
//
// --tiny shrinks the workloads and runs each benchmark once, for a smoke run that cannot rot.
#include <benchmark/benchmark.h>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/converter.h"
#include "tarnel/pretty.h"
#include "tarnel/reader.h"
#include "tarnel/transport.h"
#include "workloads.h"

#if TARNEL_BENCH_GCRYPT
#include <gcrypt.h>
#endif

namespace tarnel::bench {
namespace {

// The workloads live for the whole run; benchmarks refer to them.
std::vector<std::unique_ptr<Workload>> workloads;

void set_bytes(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes));
}

void memcpy_bench(benchmark::State& state, const Workload* w) {
  std::vector<std::uint8_t> target(w->text.size());
  for (auto _ : state) {
    std::memcpy(target.data(), w->text.data(), w->text.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  set_bytes(state, w->text.size());
}

void read_bench(benchmark::State& state, const Workload* w, const ReaderOptions* options) {
  for (auto _ : state) {
    Result<Value, ReadError> value = read_whole(*options, w->text);
    if (!value) {
      state.SkipWithError("the reader refused the workload");
      return;
    }
    benchmark::DoNotOptimize(value->is_list());
  }
  set_bytes(state, w->text.size());
}

template <Buffer (*encode)(const Value&)>
void write_bench(benchmark::State& state, const Workload* w) {
  std::size_t size = 0;
  for (auto _ : state) {
    Buffer out = encode(w->tree);
    size = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, size);
}

// A conversion as two steps: read the tree, then write it.
template <Buffer (*encode)(const Value&)>
void read_write_bench(benchmark::State& state, const Workload* w) {
  for (auto _ : state) {
    Result<Value, ReadError> value = read_whole(default_options, w->text);
    if (!value) {
      state.SkipWithError("the reader refused the workload");
      return;
    }
    Buffer out = encode(*value);
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, w->text.size());
}

void convert_bench(benchmark::State& state, const Workload* w, OutputForm form) {
  for (auto _ : state) {
    Buffer out;
    Result<std::uint64_t, ReadError> done = convert_prefix(default_options, w->text, form, out);
    if (!done) {
      state.SkipWithError("the converter refused the workload");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, w->text.size());
}

// Takes each piece and looks at it, as a caller writing to a file would.
class DiscardingSink : public OutputSink {
 public:
  bool write(std::span<const std::uint8_t> octets) override {
    benchmark::DoNotOptimize(octets.data());
    return true;
  }
};

// The laid-out form at its default width and indentation.
Buffer encode_pretty_default(const Value& value) { return encode_pretty(value); }

template <class Form>
void convert_sink_bench(benchmark::State& state, const Workload* w, Form form) {
  DiscardingSink sink;
  for (auto _ : state) {
    Built done = convert_prefix(default_options, w->text, form, sink);
    if (!done) {
      state.SkipWithError("the converter refused the workload");
      return;
    }
  }
  set_bytes(state, w->text.size());
}

#if TARNEL_BENCH_GCRYPT
void gcrypt_bench(benchmark::State& state, const Workload* w) {
  for (auto _ : state) {
    gcry_sexp_t sexp = nullptr;
    std::size_t error_offset = 0;
    gcry_error_t error = gcry_sexp_sscan(
        &sexp, &error_offset, reinterpret_cast<const char*>(w->text.data()), w->text.size());
    if (error != 0) {
      state.SkipWithError(gcry_strerror(error));
      return;
    }
    gcry_sexp_release(sexp);
  }
  set_bytes(state, w->text.size());
}
#endif

void register_all(bool tiny) {
  const std::uint32_t scale = tiny ? 100 : 1;
  workloads.push_back(std::make_unique<Workload>(make_flat(scale)));
  workloads.push_back(std::make_unique<Workload>(make_large(scale)));
  workloads.push_back(std::make_unique<Workload>(make_deep(scale)));
  workloads.push_back(std::make_unique<Workload>(make_advanced(scale)));
  workloads.push_back(std::make_unique<Workload>(make_transport(scale)));

  std::vector<benchmark::internal::Benchmark*> all;
  for (const auto& w : workloads) {
    const Workload* p = w.get();
    const bool canonical_text = p->name == "a" || p->name == "b" || p->name == "c";
    all.push_back(benchmark::RegisterBenchmark(("memcpy/" + p->name).c_str(), memcpy_bench, p));
    if (canonical_text) {
      all.push_back(benchmark::RegisterBenchmark(("read_canonical/" + p->name).c_str(), read_bench,
                                                 p, &canonical_options));
    }
    all.push_back(benchmark::RegisterBenchmark(("read_default/" + p->name).c_str(), read_bench, p,
                                               &default_options));
#if TARNEL_BENCH_GCRYPT
    if (canonical_text) {
      all.push_back(
          benchmark::RegisterBenchmark(("gcry_sexp_sscan/" + p->name).c_str(), gcrypt_bench, p));
    }
#endif
    if (p->name == "a" || p->name == "d") {
      const bool a = p->name == "a";
      const std::string to = a ? "advanced/" : "canonical/";
      const OutputForm form = a ? OutputForm::Advanced : OutputForm::Canonical;
      all.push_back(benchmark::RegisterBenchmark(
          ("read_write_" + to + p->name).c_str(),
          a ? read_write_bench<encode_advanced> : read_write_bench<encode_canonical>, p));
      all.push_back(benchmark::RegisterBenchmark(("convert_" + to + p->name).c_str(), convert_bench,
                                                 p, form));
      all.push_back(benchmark::RegisterBenchmark(("convert_sink_" + to + p->name).c_str(),
                                                 convert_sink_bench<OutputForm>, p, form));
      if (a) {
        all.push_back(benchmark::RegisterBenchmark(("convert_sink_pretty/" + p->name).c_str(),
                                                   convert_sink_bench<PrettyOptions>, p,
                                                   PrettyOptions{}));
      }
    }
    if (p->name == "e") continue;  // the same tree as a
    all.push_back(benchmark::RegisterBenchmark(("write_canonical/" + p->name).c_str(),
                                               write_bench<encode_canonical>, p));
    all.push_back(benchmark::RegisterBenchmark(("write_transport/" + p->name).c_str(),
                                               write_bench<encode_transport>, p));
    all.push_back(benchmark::RegisterBenchmark(("write_advanced/" + p->name).c_str(),
                                               write_bench<encode_advanced>, p));
    all.push_back(benchmark::RegisterBenchmark(("write_pretty/" + p->name).c_str(),
                                               write_bench<encode_pretty_default>, p));
  }
  for (benchmark::internal::Benchmark* b : all) {
    b->Unit(benchmark::kMillisecond);
    if (tiny) {
      b->Iterations(1);
    } else {
      b->Repetitions(9)->DisplayAggregatesOnly(true)->MinTime(0.05);
    }
  }
}

}  // namespace
}  // namespace tarnel::bench

int main(int argc, char** argv) {
  bool tiny = false;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--tiny") == 0) {
      tiny = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
#if TARNEL_BENCH_GCRYPT
  if (gcry_check_version(nullptr) == nullptr) return 1;
  gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
#endif
  tarnel::bench::register_all(tiny);
  int rest_count = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
