// discovery-bench: what one whole check (findMotionUnits) costs under Wine,
// beside the floor of platform calls that such a check cannot avoid, measured
// in the same run, in turns, in batches; the medians of the batches are reported.
//
//   (a) nothing reachable: floor = a failed open of the service pipe and the two
//       device-interface enumerations (WinUSB and HID);
//   (b), (c) the service answering 1 or 8 units: floor = opening the pipe, the
//       1 + 5n bare round trips and the HID enumeration; the ratio to the round
//       trips alone is printed too.

#include "BenchSupport.h"
#include "discovery/MotionUnit.h"
#include "discovery/WinUsbEnumeration.h"

#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

using namespace discovery;
using namespace testing_support;
using namespace platform;

using bench::median;
using bench::nowMicroseconds;

namespace {

// Enumerates every present interface of a class and releases the set.
void enumerateInterfaces(const GUID& guid) {
    UsbDeviceInfoSet set(SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) return;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set.get(), nullptr, &guid, i, &data); ++i) {
    }
}

GUID hidGuid() {
    GUID guid;
    HidD_GetHidGuid(&guid);
    return guid;
}

// Average microseconds of `operation` over `count` runs; -1 when it failed.
double timeOf(int count, const std::function<bool()>& operation) {
    const double start = nowMicroseconds();
    for (int i = 0; i < count; ++i) {
        if (!operation()) return -1;
    }
    return (nowMicroseconds() - start) / count;
}

struct Row {
    const char* name;
    std::vector<double> check, floor, trips;
};

void print(const Row& row, bool withTrips) {
    const double check = median(row.check);
    const double floor = median(row.floor);
    printf("%-28s check %8.1f us   floor %8.1f us   ratio %.2f", row.name, check, floor, check / floor);
    if (withTrips) printf("   (round trips alone %.1f us, ratio %.2f)", median(row.trips), check / median(row.trips));
    printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int batches = argc > 1 ? std::atoi(argv[1]) : 11;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 30;
    if (batches <= 0 || runs <= 0) {
        fprintf(stderr, "usage: discovery-bench [batches (11)] [checks per batch (30)]\n");
        return 1;
    }
    const GUID hid = hidGuid();
    const std::wstring pipe = servicePipePath(ServiceName);

    // (a) nothing reachable: no service on the pipe name; no USB units under Wine.
    Row none{"(a) nothing reachable", {}, {}, {}};
    for (int b = 0; b < batches; ++b) {
        none.check.push_back(timeOf(runs, [] { return MotionUnitFinder().findMotionUnits().empty(); }));
        none.floor.push_back(timeOf(runs, [&] {
            HANDLE h = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
            if (h != INVALID_HANDLE_VALUE) return false;  // a service is running here
            enumerateInterfaces(WinUsbInterfaceGuid);
            enumerateInterfaces(hid);
            return true;
        }));
    }

    Row served[2] = {{"(b) service, 1 unit", {}, {}, {}}, {"(c) service, 8 units", {}, {}, {}}};
    const size_t sizes[2] = {1, 8};
    for (int i = 0; i < 2; ++i) {
        ServicePipeServer server(ServiceName, bench::benchUnits(sizes[i]));
        server.setRecordRequests(false);
        if (!server.start()) {
            fprintf(stderr, "discovery-bench: cannot serve %ls (is a simulator running?)\n", pipe.c_str());
            return 2;
        }
        const uint32_t trips = static_cast<uint32_t>(1 + 5 * sizes[i]);
        auto roundTrips = [&] {
            bench::RawPipeClient raw(ServiceName);
            for (uint32_t t = 0; t < trips; ++t) {
                if (!raw.roundTrip(ServiceCommand::Manufacturer, t)) return false;
            }
            return true;
        };
        for (int b = 0; b < batches; ++b) {
            served[i].check.push_back(
                timeOf(runs, [&] { return MotionUnitFinder().findMotionUnits().size() == sizes[i]; }));
            served[i].floor.push_back(timeOf(runs, [&] {
                const bool ok = roundTrips();
                enumerateInterfaces(hid);
                return ok;
            }));
            served[i].trips.push_back(timeOf(runs, roundTrips));
        }
        server.stop();
    }

    for (const Row* row : {&none, &served[0], &served[1]}) {
        for (double v : row->check) {
            if (v < 0) {
                fprintf(stderr, "discovery-bench: %s: a check did not find what was served\n", row->name);
                return 2;
            }
        }
    }
    printf("batches: %d, %d checks each; medians of the batches; target ratio at most 1.50\n", batches, runs);
    print(none, false);
    print(served[0], true);
    print(served[1], true);
    fflush(stdout);
    return 0;
}
