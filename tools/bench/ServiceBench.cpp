// service-bench: what one service pass costs against the bare round trip of
// the pipe it runs on. Serves the protocol in-process and prints its figures.
//
// The machine may be busy with other work, so the three measurements are taken
// in turns, in batches, and the medians of the batches are reported.

#include "BenchSupport.h"
#include "discovery/ServicePipeClient.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace discovery;
using namespace testing_support;

namespace {

using bench::median;
using bench::nowMicroseconds;

// Average microseconds of one service pass; -1 when a pass did not list every unit.
double passTime(const std::wstring& serviceName, size_t units, int passes) {
    DeviceList list;
    const double start = nowMicroseconds();
    for (int i = 0; i < passes; ++i) {
        if (!queryServiceDevices(list, nullptr, nullptr, serviceName) || list.size() != units) return -1;
    }
    return (nowMicroseconds() - start) / passes;
}

// Average microseconds to open and close the pipe as a pass does, without a request.
double connectTime(const std::wstring& serviceName, int times) {
    const double start = nowMicroseconds();
    for (int i = 0; i < times; ++i) {
        ServicePipeClient client(serviceName);
        if (!client.connect()) return -1;
    }
    return (nowMicroseconds() - start) / times;
}

}  // namespace

int main(int argc, char** argv) {
    const int batches = argc > 1 ? std::atoi(argv[1]) : 15;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
    const int passes = argc > 3 ? std::atoi(argv[3]) : 20;
    if (batches <= 0 || rounds <= 0 || passes <= 0) {
        fprintf(stderr, "usage: service-bench [batches (15)] [round trips per batch (200)] [passes per batch (20)]\n");
        return 1;
    }
    const std::wstring base = L"Tavrello_MotionService_Bench_" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring nameOne = base + L"_1";
    const std::wstring nameEight = base + L"_8";

    ServicePipeServer one(nameOne, bench::benchUnits(1));
    ServicePipeServer eight(nameEight, bench::benchUnits(8));
    one.setRecordRequests(false);
    eight.setRecordRequests(false);
    if (!one.start() || !eight.start()) {
        fprintf(stderr, "service-bench: cannot serve the pipes\n");
        return 2;
    }
    // The floor runs on the 8-unit server, beside the passes' connections.
    bench::RawPipeClient raw(nameEight);
    DeviceList warm;
    if (raw.measure(50) < 0 || !queryServiceDevices(warm, nullptr, nullptr, nameOne) ||
        !queryServiceDevices(warm, nullptr, nullptr, nameEight)) {
        fprintf(stderr, "service-bench: the warm-up failed\n");
        return 2;
    }

    std::vector<double> bare, connects, passOne, passEight, ratioOne, ratioEight;
    for (int b = 0; b < batches; ++b) {
        const double trip = raw.measure(rounds);
        const double p1 = passTime(nameOne, 1, passes);
        const double p8 = passTime(nameEight, 8, passes);
        const double connect = connectTime(nameOne, passes);
        if (trip < 0 || p1 < 0 || p8 < 0 || connect < 0) {
            fprintf(stderr, "service-bench: a round trip or a pass failed\n");
            return 2;
        }
        bare.push_back(trip);
        connects.push_back(connect);
        passOne.push_back(p1);
        passEight.push_back(p8);
        ratioOne.push_back(p1 / (6 * trip));
        ratioEight.push_back(p8 / (41 * trip));
    }

    const double trip = median(bare);
    printf("batches: %d, each %d round trips and %d passes per size\n", batches, rounds, passes);
    printf("bare 264-byte round trip: %.1f us (median; batches from %.1f to %.1f)\n", trip,
           *std::min_element(bare.begin(), bare.end()), *std::max_element(bare.begin(), bare.end()));
    printf("open and close of the pipe, no request: %.1f us (median)\n", median(connects));
    const struct {
        unsigned units;
        const std::vector<double>& pass;
        const std::vector<double>& ratio;
    } rows[] = {{1, passOne, ratioOne}, {8, passEight, ratioEight}};
    for (const auto& row : rows) {
        const unsigned trips = 1 + 5 * row.units;
        printf(
            "pass, %u unit(s): %.1f us (median); %u round trips; ratio pass / (%u x bare) %.2f (median of batches; "
            "from %.2f to %.2f); target at most 1.50\n",
            row.units, median(row.pass), trips, trips, median(row.ratio),
            *std::min_element(row.ratio.begin(), row.ratio.end()),
            *std::max_element(row.ratio.begin(), row.ratio.end()));
    }
    fflush(stdout);
    return 0;
}
