#include "link/replyframer.h"

#include <benchmark/benchmark.h>
#include <cstddef>
#include <string>
#include <string_view>

using thermavo::ReplyFramer;

namespace {

constexpr std::size_t kChunk = 256;

// Feeds the stream in 256-byte arrivals, as the port's reader delivers them.
void feedInChunks(ReplyFramer& framer, const std::string& stream) {
    const std::string_view all(stream);
    for (std::size_t at = 0; at < all.size(); at += kChunk)
        framer.receive(all.substr(at, kChunk), 0);
}

// Typical traffic: many short replies of an 8-channel board, re-armed by the handler.
void BM_FramerShortReplies(benchmark::State& state) {
    std::string stream;
    while (stream.size() < (1u << 20))
        stream += "\n0A1B 0C2D 0E3F 1A2B 3C4D 5E6F 7A8B 9C0D\r";
    ReplyFramer framer;
    std::size_t delivered = 0;
    framer.setHandlers(
        [&](std::string_view text) {
            delivered += text.size();
            framer.arm();
        },
        [] {});
    for (auto _ : state) {
        framer.arm();
        feedInChunks(framer, stream);
        benchmark::DoNotOptimize(delivered);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_FramerShortReplies);

// One reply of the given size: the time must grow linearly with it.
void BM_FramerLongReply(benchmark::State& state) {
    const std::string stream =
        "\n" + std::string(static_cast<std::size_t>(state.range(0)), 'x') + "\r";
    ReplyFramer framer;
    std::size_t delivered = 0;
    framer.setHandlers([&](std::string_view text) { delivered += text.size(); }, [] {});
    for (auto _ : state) {
        framer.arm();
        feedInChunks(framer, stream);
        benchmark::DoNotOptimize(delivered);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_FramerLongReply)->Arg(1 << 16)->Arg(1 << 20)->Arg(10 << 20);

} // namespace

BENCHMARK_MAIN();
