// Frame codec throughput: FCS-16 against Boost.CRC's CRC-16/X-25, and
// stuffing + unstuffing of a typical and a worst-case message.
#include <benchmark/benchmark.h>

#include <boost/crc.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "odu/frm.h"

namespace {

using BoostX25 = boost::crc_optimal<16, 0x1021, 0xFFFF, 0xFFFF, true, true>;

std::vector<uint8_t> Data(size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t x = 0x12345678u;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

void BM_FcsOurs(benchmark::State& state) {
    const auto data = Data(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        uint16_t fcs = FRM_FcsUpdate(FRM_FCS_INIT, data.data(), static_cast<unsigned>(data.size()));
        fcs = static_cast<uint16_t>(~fcs);
        benchmark::DoNotOptimize(fcs);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_FcsBoost(benchmark::State& state) {
    const auto data = Data(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        BoostX25 crc;
        crc.process_bytes(data.data(), data.size());
        uint16_t fcs = crc.checksum();
        benchmark::DoNotOptimize(fcs);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_FcsOurs)->Arg(107)->Arg(4096);
BENCHMARK(BM_FcsBoost)->Arg(107)->Arg(4096);

// A 107-byte message, the largest a frame carries.
constexpr unsigned kMessage = 107;

void StuffRoundTrip(benchmark::State& state, const std::vector<uint8_t>& msg) {
    uint8_t buf[FRM_MAX_BODY];
    for (auto _ : state) {
        std::memcpy(buf, msg.data(), msg.size());
        uint8_t len = static_cast<uint8_t>(msg.size());
        FRM_Stuff(buf, &len);
        benchmark::DoNotOptimize(len);
        FRM_Unstuff(buf, &len);
        benchmark::DoNotOptimize(buf);
        benchmark::DoNotOptimize(len);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * msg.size());
}

void BM_StuffUnstuffTypical(benchmark::State& state) {
    // Random bytes: about one in 128 needs escaping.
    StuffRoundTrip(state, Data(kMessage));
}

void BM_StuffUnstuffWorst(benchmark::State& state) {
    // All flags: the stuffed body would exceed 128 bytes, so stuffing
    // reports the length and leaves the buffer; the unstuff call then sees
    // a length above 128 and returns. The 64-byte all-flag message is the
    // largest worst case that is written back and unstuffed.
    StuffRoundTrip(state, std::vector<uint8_t>(static_cast<size_t>(state.range(0)), FRM_FLAG));
}

BENCHMARK(BM_StuffUnstuffTypical);
BENCHMARK(BM_StuffUnstuffWorst)->Arg(kMessage)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
