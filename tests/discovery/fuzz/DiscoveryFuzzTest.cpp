// Seeded random and mutated inputs for the decoders and the three passes, with
// every input and every heap block the passes take ending at a no-access page.
// Beyond "no fault" each input checks that text is what arrived up to its first
// NUL, that descriptors are read whole in few reads, that everything opened is
// released, and that serial text is only split between whole characters.
//
// Without arguments a short run (part of the test command). A long run:
//     discovery_fuzz_test --inputs=N --seed=S [--gtest_filter=Fuzz.HidPass]
// or scripts/bench.sh discovery_fuzz_test --inputs=N --seed=S.
// A failing input prints its own seed; --input=SEED runs that one input alone.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "FakeUsbPlatform.h"
#include "GuardedHeap.h"
#include "TestPipeServer.h"
#include "discovery/HidEnumeration.h"
#include "discovery/MotionUnit.h"
#include "discovery/ServicePipeClient.h"
#include "discovery/WinUsbEnumeration.h"
#include "discovery/WinUsbHandleRegistry.h"

using namespace discovery;
using namespace testing_support;
using namespace platform;

namespace {

struct Options {
    uint64_t inputs = 0;  // 0: each target's short run
    uint64_t seed = 20261208;
    bool oneInput = false;
    uint64_t input = 0;
};

// Set from the command line in main, before any test runs.
Options g_options;

// The input being run, for the fault report (the test thread writes them, the
// fault handler reads them on the same thread).
const char* g_currentTarget = "";
uint64_t g_currentInput = 0;

LONG CALLBACK reportFault(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW || code == EXCEPTION_IN_PAGE_ERROR) {
        std::fprintf(stderr, "FAULT 0x%08lX in %s, input --input=%llu\n", static_cast<unsigned long>(code),
                     g_currentTarget, static_cast<unsigned long long>(g_currentInput));
        std::fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// splitmix64: small, fast and the same on every compiler.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(next() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }
    uint8_t byte() { return static_cast<uint8_t>(next()); }

    // Mostly letters, with NULs, surrogates (paired and lone) and other units.
    std::wstring text(uint32_t maxUnits) {
        std::wstring out;
        const uint32_t length = chance(10) ? maxUnits : below(maxUnits + 1);
        while (out.size() < length) {
            const uint32_t kind = below(100);
            if (kind < 70) out += static_cast<wchar_t>(L'A' + below(26));
            else if (kind < 76) out += L'\0';
            else if (kind < 86) out += {wchar_t(0xD800 + below(0x400)), wchar_t(0xDC00 + below(0x400))};
            else if (kind < 90) out += static_cast<wchar_t>(0xD800 + below(0x800));
            else out += static_cast<wchar_t>(1 + below(0xFFFF));
        }
        out.resize(length);
        return out;
    }

private:
    uint64_t state_;
};

// Runs one target's inputs: the seeds that once found a fault, then the run's own.
void runInputs(const char* target, uint64_t shortRun, const std::vector<uint64_t>& regressions,
               const std::function<void(Random&)>& one) {
    static void* handler = ::AddVectoredExceptionHandler(1, reportFault);
    (void)handler;
    g_currentTarget = target;
    std::vector<uint64_t> seeds;
    if (g_options.oneInput) {
        seeds.push_back(g_options.input);
    } else {
        seeds = regressions;
    }
    const uint64_t count = g_options.oneInput ? 0 : (g_options.inputs != 0 ? g_options.inputs : shortRun);
    uint64_t name = 0xCBF29CE484222325ull;  // FNV-1a of the target's name
    for (const char* c = target; *c != '\0'; ++c) name = (name ^ static_cast<uint8_t>(*c)) * 0x100000001B3ull;
    const uint64_t targetSeed = Random(g_options.seed ^ name).next();
    const auto start = std::chrono::steady_clock::now();
    uint64_t ran = 0;
    for (uint64_t i = 0; i < seeds.size() + count; ++i) {
        g_currentInput = i < seeds.size() ? seeds[i] : Random(targetSeed + i).next();
        Random random(g_currentInput);
        one(random);
        if (++ran % 100000 == 0) {
            std::printf("%s: %llu inputs so far\n", target, static_cast<unsigned long long>(ran));
            std::fflush(stdout);
        }
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << target << ": failing input --input=" << g_currentInput;
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %llu inputs, seed %llu, %.1f s\n", target, static_cast<unsigned long long>(ran),
                static_cast<unsigned long long>(g_options.seed), seconds);
}

// The text of units up to the first NUL.
std::wstring upToNul(const std::wstring& units) { return units.substr(0, units.find(L'\0')); }

bool isHigh(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLow(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::wstring unitsOf(const uint8_t* bytes, size_t count) {
    std::wstring units(count / 2, L'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<wchar_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return units;
}

// What a service string reply carries: up to the first NUL, at most 127 units,
// and a cut leaves no high surrogate at the end.
std::wstring serviceText(const uint8_t* reply) {
    const std::wstring units = unitsOf(reply + ServiceReplyPayloadOffset, 256);
    std::wstring text = upToNul(units.substr(0, ServiceReplyStringMaxUnits));
    const bool cut = text.size() == ServiceReplyStringMaxUnits && units[ServiceReplyStringMaxUnits] != L'\0';
    if (cut && isHigh(text.back())) text.pop_back();
    return text;
}

DescriptionFilter randomDescriptionFilter(Random& random) {
    return random.chance(50) ? nullptr : isMotionUnitDescription;
}
IdFilter randomIdFilter(Random& random) { return random.chance(50) ? nullptr : isMotionUnitId; }

}  // namespace

TEST(Fuzz, SerialTextSplitsOnlyBetweenWholeCharacters) {
    fake_usb::GuardedBlocks blocks;
    runInputs("serial-text", 50000, {12050496973481263323ull}, [&](Random& random) {
        std::wstring text = random.text(40);
        for (wchar_t& unit : text) {
            if (unit == L'\0' || unit == L'-') unit = L'x';
        }
        text += L'\0';
        wchar_t* input = blocks.copyOf(text.c_str(), text.size());
        const std::wstring shown = formatSerialNumber(input);
        blocks.give(input);
        text.pop_back();

        std::wstring withoutDashes;
        size_t characters = 0;
        size_t dashes = 0;
        for (size_t i = 0; i < shown.size(); ++i) {
            if (shown[i] != L'-') {
                withoutDashes += shown[i];
                if (!(i > 0 && isHigh(shown[i - 1]) && isLow(shown[i]))) ++characters;
                continue;
            }
            ++dashes;
            ASSERT_TRUE(characters == 6 || characters == 12 || characters == 18) << "after " << characters;
            ASSERT_TRUE(i + 1 < shown.size() && i > 0 && !(isHigh(shown[i - 1]) && isLow(shown[i + 1])));
        }
        ASSERT_EQ(withoutDashes, text);
        ASSERT_EQ(dashes, characters == 0 ? 0 : std::min<size_t>(3, (characters - 1) / 6));
    });
}

TEST(Fuzz, ServiceStringIsTheTextUpToItsFirstNul) {
    fake_usb::GuardedBlocks blocks;
    runInputs("service-string", 50000, {652383773366706379ull}, [&](Random& random) {
        // Either what the service side writes, or any payload at all.
        ServiceMessage message{};
        std::wstring sent;
        if (random.chance(50)) {
            sent = random.text(200);
            writeServiceString(message, sent);
        } else {
            for (uint8_t& b : message) b = static_cast<uint8_t>(random.chance(5) ? 0 : random.byte());
        }
        const ServiceMessage original = message;
        auto* input = static_cast<ServiceMessage*>(static_cast<void*>(blocks.copyOf(message.data(), message.size())));
        const std::wstring text = readServiceString(*input);
        blocks.give(input);
        ASSERT_EQ(text, serviceText(original.data()));
        if (!sent.empty()) {
            // The writer keeps what the reader takes.
            std::wstring kept = upToNul(sent.substr(0, ServiceReplyStringMaxUnits));
            if (kept.size() == ServiceReplyStringMaxUnits && sent.size() > kept.size() && isHigh(kept.back())) {
                kept.pop_back();
            }
            ASSERT_EQ(text, kept);
        }
    });
}

namespace {

// A string descriptor as a device might send it: well formed, or any bytes.
std::vector<uint8_t> randomDescriptor(Random& random, bool& wellFormed) {
    wellFormed = random.chance(60);
    if (wellFormed) return fake_usb::stringDescriptor(random.text(126));
    std::vector<uint8_t> bytes(random.below(300));
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random.chance(10) ? 0 : random.byte());
    if (bytes.size() > 1 && random.chance(50)) bytes[1] = 3;
    return bytes;
}

// Checks a string read against the descriptor it came from.
void expectDescriptorText(const std::vector<uint8_t>& descriptor, bool wellFormed, const std::wstring& text) {
    ASSERT_EQ(text.find(L'\0'), std::wstring::npos);
    const std::wstring units = descriptor.size() >= 2 ? unitsOf(descriptor.data() + 2, descriptor.size() - 2) : L"";
    if (wellFormed) {
        ASSERT_EQ(text, upToNul(units)) << "read whole, up to its first NUL";
    } else {
        ASSERT_EQ(units.compare(0, text.size(), text), 0) << "only units that arrived";
    }
}

}  // namespace

TEST(Fuzz, StringDescriptorIsReadWholeInFewReads) {
    fake_usb::FakeUsbWorld world;
    fake_usb::GuardedHeap heap;
    const std::wstring path = fake_usb::winUsbPath(0x0483, 0xA110, L"F");
    fake_usb::WinUsbDevice& device = world.addWinUsbDevice(path, L"Tavrello", L"Kelvane", L"F");
    DeviceHandleRef reference;
    ASSERT_TRUE(reference.open(path));
    ExclusiveDeviceUse use(reference.valid(), reference.id());
    runInputs("string-descriptor", 20000, {14519785734428963757ull}, [&](Random& random) {
        bool wellFormed = false;
        device.stringDescriptors[5] = randomDescriptor(random, wellFormed);
        device.oversizeFailsWithInsufficientBuffer = random.chance(50);
        world.clearCalls();
        std::wstring text;
        DWORD error = 0;
        const bool read = readStringDescriptor(use.device(), 5, 0x0409, text, error);
        const size_t reads = world.descriptorRequests().size();
        ASSERT_EQ(heap.outstanding(), 0);
        ASSERT_LE(reads, 6u);
        if (wellFormed) {
            // 64, 128 and 256 bytes hold any descriptor.
            const size_t size = device.stringDescriptors[5].size();
            ASSERT_TRUE(read);
            ASSERT_EQ(reads, size <= 64 ? 1u : size <= 128 ? 2u : 3u);
        }
        if (read) expectDescriptorText(device.stringDescriptors[5], wellFormed, text);
    });
    use.end();
    reference.release();
    ASSERT_EQ(heap.badFrees(), 0);
}

namespace {

// An interface or device path: one Windows would form, or a mutation of it.
std::wstring randomPath(Random& random, const std::wstring& formed, int unique) {
    std::wstring path = formed;
    const std::wstring tag = L"#" + std::to_wstring(unique) + L"#";
    path.insert(4, tag);  // keeps paths of one input apart
    switch (random.below(6)) {
    case 0: path += random.text(300); break;
    case 1: path.resize(random.below(static_cast<uint32_t>(path.size()) + 1)); break;
    case 2: path[random.below(static_cast<uint32_t>(path.size()))] = static_cast<wchar_t>(random.below(0x10000)); break;
    default: break;
    }
    return path;
}

}  // namespace

TEST(Fuzz, HidPassReadsWhatArrivedAndReleasesEverything) {
    runInputs("hid-pass", 15000, {8248179453249596941ull}, [&](Random& random) {
        fake_usb::FakeUsbWorld world;
        fake_usb::GuardedHeap heap;
        std::vector<fake_usb::HidInterface*> interfaces;
        const uint32_t count = random.below(5);
        for (uint32_t i = 0; i < count; ++i) {
            const uint16_t vid = random.chance(70) ? 0x0483 : static_cast<uint16_t>(random.next());
            const uint16_t pid = random.chance(70) ? 0xA110 : static_cast<uint16_t>(random.next());
            const std::wstring formed = fake_usb::hidPath(vid, pid, random.chance(80) ? 0 : 1);
            std::wstring path = randomPath(random, formed, static_cast<int>(i));
            for (const fake_usb::HidInterface* other : interfaces) {
                if (other->path == path) path = formed + std::to_wstring(i);
            }
            const bool maker = random.chance(60);
            fake_usb::HidInterface& hid =
                world.addHidInterface(path, vid, pid, maker ? L"Tavrello" : random.text(600),
                                      random.chance(50) ? L"Kelvane" : random.text(600), random.text(600));
            const DWORD natural =
                static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * 2);
            if (random.chance(20)) hid.detailSizeOverride = random.below(random.chance(50) ? 16 : natural * 2);
            if (random.chance(20)) hid.detailSizeAfterRead = random.below(random.chance(50) ? 8 : 0x10000);
            hid.zeroDetailSize = random.chance(3);
            hid.failDetail = random.chance(3);
            hid.failOpen = random.chance(3);
            hid.failAttributes = random.chance(3);
            hid.failManufacturer = random.chance(3);
            hid.failProduct = random.chance(3);
            hid.failSerialNumber = random.chance(10);
            interfaces.push_back(&hid);
        }
        heap.setAllocationsFail(random.chance(3));
        DeviceList list;
        DeviceInfo earlier;
        earlier.vendorId = 0x0483;
        earlier.productId = 0xA110;
        earlier.source = static_cast<DeviceSource>(random.below(3));
        earlier.serialNumber = random.chance(50) ? std::wstring() : std::wstring(L"ABC");
        if (random.chance(30)) list.push_back(earlier);
        const size_t before = list.size();
        enumerateHidDevices(list, randomIdFilter(random), randomDescriptionFilter(random), random.chance(50));

        ASSERT_TRUE(world.allReleased());
        ASSERT_EQ(heap.outstanding(), 0);
        ASSERT_EQ(heap.badFrees(), 0);
        ASSERT_LE(list.size(), before + count);
        for (size_t i = before; i < list.size(); ++i) {
            const DeviceInfo& entry = list[i];
            const fake_usb::HidInterface* match = nullptr;
            for (const fake_usb::HidInterface* hid : interfaces) {
                if (hid->path == entry.devicePath) match = hid;
            }
            ASSERT_NE(match, nullptr) << "a path that no device has";
            EXPECT_EQ(entry.manufacturer, upToNul(match->manufacturer));
            EXPECT_EQ(entry.product, upToNul(match->product));
            const bool serialRead = !match->failSerialNumber && match->serialNumber.size() < 512;
            EXPECT_EQ(entry.serialNumber, serialRead ? upToNul(match->serialNumber) : L"");
            EXPECT_EQ(entry.vendorId, match->vendorId);
        }
    });
}

TEST(Fuzz, WinUsbPassReadsWhatArrivedAndReleasesEverything) {
    runInputs("winusb-pass", 15000, {17198753525257583836ull}, [&](Random& random) {
        fake_usb::FakeUsbWorld world;
        fake_usb::GuardedHeap heap;
        struct Expected {
            const fake_usb::WinUsbDevice* device;
            bool wellFormed[3];
        };
        std::vector<Expected> devices;
        const uint32_t count = random.below(4);
        for (uint32_t i = 0; i < count; ++i) {
            const uint16_t vid = random.chance(80) ? 0x0483 : static_cast<uint16_t>(random.next());
            const std::wstring formed = fake_usb::winUsbPath(vid, 0xA110, L"S");
            std::wstring path = randomPath(random, formed, static_cast<int>(i));
            for (const Expected& other : devices) {
                if (other.device->path == path) path = formed + std::to_wstring(i);
            }
            fake_usb::WinUsbDevice& device = world.addWinUsbDevice(path, L"Tavrello", L"Kelvane", L"S");
            Expected expected{&device, {true, true, true}};
            for (uint8_t index = 1; index <= 3; ++index) {
                if (random.chance(50)) {
                    device.stringDescriptors[index] = randomDescriptor(random, expected.wellFormed[index - 1]);
                }
                if (random.chance(3)) {
                    device.stringErrors[index] = random.chance(50) ? ERROR_INSUFFICIENT_BUFFER : ERROR_GEN_FAILURE;
                }
            }
            if (random.chance(20)) {
                device.deviceDescriptor.resize(random.below(20));
                for (uint8_t& b : device.deviceDescriptor) {
                    b = static_cast<uint8_t>(random.chance(70) ? random.below(5) : random.byte());
                }
            }
            if (random.chance(3)) device.setupClass = fake_usb::HidSetupClassGuid;
            device.oversizeFailsWithInsufficientBuffer = random.chance(50);
            device.failDetail = random.chance(3);
            device.failOpen = random.chance(3);
            device.failInitialize = random.chance(3);
            device.failDeviceDescriptor = random.chance(3);
            devices.push_back(expected);
        }
        heap.setAllocationsFail(random.chance(3));
        DeviceList list;
        enumerateWinUsbDevices(list, randomIdFilter(random), randomDescriptionFilter(random));

        ASSERT_TRUE(world.allReleased());
        ASSERT_EQ(world.openWinUsbHandles(), 0);
        ASSERT_EQ(heap.outstanding(), 0);
        ASSERT_EQ(heap.badFrees(), 0);
        ASSERT_LE(world.descriptorRequests().size(), count * (1 + 3 * 6));
        ASSERT_LE(list.size(), count);
        for (const DeviceInfo& entry : list) {
            const Expected* match = nullptr;
            for (const Expected& expected : devices) {
                if (expected.device->path == entry.devicePath) match = &expected;
            }
            ASSERT_NE(match, nullptr) << "a path that no device has";
            const std::vector<uint8_t>& descriptor = match->device->deviceDescriptor;
            const std::wstring* fields[] = {&entry.manufacturer, &entry.product, &entry.serialNumber};
            for (size_t field = 0; field < 3; ++field) {
                const uint8_t index = descriptor.size() > 14 + field ? descriptor[14 + field] : 0;
                const auto string = match->device->stringDescriptors.find(index);
                if (index == 0 || string == match->device->stringDescriptors.end()) {
                    EXPECT_TRUE(fields[field]->empty());
                    continue;
                }
                const bool wellFormed = index >= 1 && index <= 3 ? match->wellFormed[index - 1] : true;
                expectDescriptorText(string->second, wellFormed, *fields[field]);
            }
        }
    });
}

namespace {

// The service's side of one service-pass input: what each request gets, and a
// record of what was sent, from which the list the pass must give follows.
class ServiceInput {
public:
    void reset(uint64_t seed) {
        std::lock_guard<std::mutex> lock(mutex_);
        random_ = Random(seed);
        units_ = random_.below(5);
        if (random_.chance(1)) units_ = 0xFFFFFFFFu;
        sent_.clear();
    }

    ServiceReplyPlan plan(const ServiceRequestRecord& request) {
        std::lock_guard<std::mutex> lock(mutex_);
        ServiceReplyPlan plan;
        ServiceMessage reply{};
        writeLe32(&reply[ServiceReplySequenceOffset], request.sequence);
        if (request.command == ServiceCommand::DeviceCount) {
            writeLe32(&reply[ServiceReplyCountOffset], units_);
        } else if (request.command == ServiceCommand::DeviceIdentity) {
            writeLe32(&reply[ServiceReplyVendorIdOffset], random_.chance(80) ? 0x0483 : uint32_t(random_.next()));
            writeLe32(&reply[ServiceReplyProductIdOffset], random_.chance(80) ? 0xA110 : uint32_t(random_.next()));
            reply[ServiceReplyKindOffset] = static_cast<uint8_t>(random_.chance(80) ? 1 : random_.byte());
        } else if (random_.chance(70)) {
            const bool maker = request.command == ServiceCommand::Manufacturer && random_.chance(60);
            writeServiceString(reply, maker ? L"Tavrello" : random_.text(200));
        } else {
            for (size_t i = ServiceReplyPayloadOffset; i < ServiceMessageSize; ++i) {
                reply[i] = static_cast<uint8_t>(random_.chance(5) ? 0 : random_.byte());
            }
        }
        if (random_.chance(3)) writeLe32(&reply[ServiceReplySequenceOffset], request.sequence + 1);
        std::vector<uint8_t> bytes(reply.begin(), reply.end());
        const uint32_t shape = random_.below(100);
        if (shape < 2) bytes.resize(random_.below(ServiceMessageSize));
        else if (shape < 4) bytes.resize(ServiceMessageSize + 1 + random_.below(100), random_.byte());
        else if (shape < 5) plan.action = ServiceReplyPlan::Action::DropConnection;
        const bool valid = plan.action == ServiceReplyPlan::Action::Reply && bytes.size() == ServiceMessageSize &&
                           readLe32(&reply[ServiceReplySequenceOffset]) == request.sequence;
        sent_.push_back(Sent{request.command, request.deviceIndex, request.connection, valid, reply});
        plan.size = static_cast<uint32_t>(bytes.size());
        plan.edit = [bytes](std::vector<uint8_t>& out) { out = bytes; };
        return plan;
    }

    // What the pass must list and answer, given the filters it had; false when
    // the requests that came do not follow from the replies sent.
    bool expected(DeviceList& list, bool& answered, IdFilter idFilter, DescriptionFilter descriptionFilter) const {
        std::lock_guard<std::mutex> lock(mutex_);
        list.clear();
        size_t at = 0;
        auto next = [&](ServiceCommand command, uint32_t index) -> const Sent* {
            if (at >= sent_.size() || sent_[at].command != command || sent_[at].index != index) return nullptr;
            return &sent_[at++];
        };
        const Sent* count = next(ServiceCommand::DeviceCount, 0);
        answered = count != nullptr && count->valid;
        if (!answered) return at == sent_.size();
        const uint32_t units = std::min<uint32_t>(readLe32(&count->reply[ServiceReplyCountOffset]), 128);
        for (uint32_t index = 0; index < units; ++index) {
            const Sent* identity = next(ServiceCommand::DeviceIdentity, index);
            if (identity == nullptr || !identity->valid) continue;
            DeviceInfo device;
            device.vendorId = readLe32(&identity->reply[ServiceReplyVendorIdOffset]);
            device.productId = readLe32(&identity->reply[ServiceReplyProductIdOffset]);
            const uint8_t kind = identity->reply[ServiceReplyKindOffset];
            device.source = static_cast<DeviceSource>(kind == 1 ? 2u : kind);
            if (idFilter != nullptr && !idFilter(device.vendorId, device.productId)) continue;
            const std::pair<ServiceCommand, std::wstring*> strings[] = {
                {ServiceCommand::Manufacturer, &device.manufacturer},
                {ServiceCommand::Product, &device.product},
                {ServiceCommand::Serial, &device.serialNumber},
                {ServiceCommand::Path, &device.devicePath}};
            bool complete = true;
            for (const auto& string : strings) {
                const Sent* sent = next(string.first, index);
                if (sent == nullptr || !sent->valid) {
                    complete = false;
                    break;
                }
                *string.second = serviceText(sent->reply.data());
                if (string.first == ServiceCommand::Product && descriptionFilter != nullptr &&
                    !descriptionFilter(device.vendorId, device.productId, device.manufacturer, device.product)) {
                    complete = false;
                    break;
                }
            }
            if (complete) list.push_back(device);
        }
        return at == sent_.size();
    }

    // The requests as they came: command/index@connection, "!" after an invalid reply.
    std::string trace() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string out;
        for (const Sent& sent : sent_) {
            out += std::to_string(static_cast<uint32_t>(sent.command)) + "/" + std::to_string(sent.index) + "@" +
                   std::to_string(sent.connection) + (sent.valid ? " " : "! ");
        }
        return out;
    }

private:
    struct Sent {
        ServiceCommand command;
        uint32_t index;
        uint32_t connection;
        bool valid;
        ServiceMessage reply;
    };
    mutable std::mutex mutex_;  // the server's threads plan, the test thread checks
    Random random_{0};
    uint32_t units_ = 0;
    std::vector<Sent> sent_;
};

bool sameEntries(const DeviceList& a, const DeviceList& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].vendorId != b[i].vendorId || a[i].productId != b[i].productId || a[i].source != b[i].source ||
            a[i].manufacturer != b[i].manufacturer || a[i].product != b[i].product ||
            a[i].serialNumber != b[i].serialNumber || a[i].devicePath != b[i].devicePath) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(Fuzz, ServicePassListsWhatTheServiceSentAndClosesItsPipe) {
    ServiceInput input;
    ServicePipeServer server(testing_support::uniqueServiceName(L"KelvaneFuzzService"), {});
    server.setRecordRequests(false);
    server.setScript([&input](const ServiceRequestRecord& request) { return input.plan(request); });
    ASSERT_TRUE(server.start());
    runInputs("service-pass", 300, {6178012054348681932ull}, [&](Random& random) {
        const uint64_t replies = random.next();
        const IdFilter idFilter = randomIdFilter(random);
        const DescriptionFilter descriptionFilter = randomDescriptionFilter(random);
        // A loaded machine can hold a reply past the client's bound, which the
        // service cannot see: a wrong result of a pass that took that long is
        // run again, and only one that also comes on a prompt run counts.
        for (int attempt = 1;; ++attempt) {
            input.reset(replies);
            DeviceList list(1);
            const auto start = std::chrono::steady_clock::now();
            const bool answered = queryServiceDevices(list, idFilter, descriptionFilter, server.serviceName());
            // Half the bound: a timed wait may end a little early by this clock.
            const bool slow =
                std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(ServiceReplyTimeoutMs / 2);
            ASSERT_TRUE(server.waitUntilIdle(2000)) << "the pipe was left open";
            DeviceList expected;
            bool expectedAnswered = false;
            const bool inOrder = input.expected(expected, expectedAnswered, idFilter, descriptionFilter);
            if (inOrder && answered == expectedAnswered && sameEntries(list, expected)) break;
            if (slow && attempt < 5) continue;
            ASSERT_TRUE(inOrder) << "requests that do not follow from the replies: " << input.trace() << "; attempt "
                                 << attempt << (slow ? ", slow" : "");
            ASSERT_EQ(answered, expectedAnswered);
            ASSERT_TRUE(sameEntries(list, expected));
        }
    });
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            const std::string prefix = std::string(name) + "=";
            return arg.compare(0, prefix.size(), prefix) == 0 ? argv[i] + prefix.size() : nullptr;
        };
        const char* inputs = value("--inputs");
        const char* seed = value("--seed");
        const char* input = value("--input");
        if (inputs != nullptr) {
            g_options.inputs = std::strtoull(inputs, nullptr, 10);
        } else if (seed != nullptr) {
            g_options.seed = std::strtoull(seed, nullptr, 10);
        } else if (input != nullptr) {
            g_options.oneInput = true;
            g_options.input = std::strtoull(input, nullptr, 10);
        } else {
            std::fprintf(stderr, "unknown argument %s\nusage: %s [--inputs=N] [--seed=S] [--input=SEED]\n", arg.c_str(),
                         argv[0]);
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
