#include "TestPipeServer.h"

#include "TestSupport.h"
#include "diagnostics/Log.h"
#include "discovery/ServicePipeClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

using namespace diagnostics;
using namespace discovery;
using namespace testing_support;
using namespace platform;

namespace {

const char* const LogName = "KelvaneTest_ServicePipe";

using Plan = ServiceReplyPlan;

Plan replyAfter(DWORD delayMs) {
    Plan plan;
    plan.delayMs = delayMs;
    return plan;
}

Plan replySized(uint32_t size) {
    Plan plan;
    plan.size = size;
    return plan;
}

Plan wrongSequence() {
    Plan plan;
    plan.sequenceDelta = 1;
    return plan;
}

Plan act(Plan::Action action) {
    Plan plan;
    plan.action = action;
    return plan;
}

class ServicePassTest : public ::testing::Test {
protected:
    std::wstring logPath;

    void SetUp() override {
        endLog();
        deleteSettingsKeys(LogName);
        logPath = resolveLogFolder(LogFolderKind::LocalAppData) + L"\\" + widen(LogName) + L".log";
        deleteFileIfPresent(logPath);
        startLog(LogName, false, LogFolderKind::LocalAppData, LogHeaderMode::None);
        ASSERT_NE(Log::instance(), nullptr);
        ASSERT_EQ(Log::instance()->file().path(), logPath);
    }
    void TearDown() override {
        endLog();
        deleteFileIfPresent(logPath);
    }

    // The error lines written so far, without their time prefix: "GEC:2003, X:2".
    std::vector<std::string> errorLines() const { return logErrorLines(logPath); }
};

void expectListed(const DeviceInfo& device, const ServiceUnit& unit, DeviceSource source) {
    EXPECT_EQ(device.vendorId, unit.vendorId);
    EXPECT_EQ(device.productId, unit.productId);
    EXPECT_EQ(device.manufacturer, unit.manufacturer);
    EXPECT_EQ(device.product, unit.product);
    EXPECT_EQ(device.serialNumber, unit.serialNumber);
    EXPECT_EQ(device.devicePath, unit.devicePath);
    EXPECT_EQ(device.source, source);
}

// Runs one pass and checks that it succeeds and lists exactly the units at `listed`, in order.
void expectPassLists(const TestPipeServer& server, const std::vector<ServiceUnit>& units,
                     const std::vector<size_t>& listed) {
    DeviceList list;
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    ASSERT_EQ(list.size(), listed.size());
    for (size_t i = 0; i < listed.size(); ++i) expectListed(list[i], units[listed[i]], DeviceSource::Service);
}

// "command/sequence/index" of each request, for readable comparisons.
std::vector<std::string> requestTrace(const TestPipeServer& server) {
    std::vector<std::string> trace;
    for (const ServiceRequestRecord& r : server.requests()) {
        EXPECT_EQ(r.size, ServiceMessageSize);
        trace.push_back(std::to_string(static_cast<uint32_t>(r.command)) + "/" + std::to_string(r.sequence) + "/" +
                        std::to_string(r.deviceIndex));
    }
    return trace;
}

// The trace of a pass that gets every reply: count, then five requests per device.
std::vector<std::string> fullPassTrace(uint32_t devices) {
    std::vector<std::string> trace{"170/0/0"};
    uint32_t sequence = 1;
    for (uint32_t i = 0; i < devices; ++i) {
        for (uint32_t command = 171; command <= 175; ++command) {
            trace.push_back(std::to_string(command) + "/" + std::to_string(sequence++) + "/" + std::to_string(i));
        }
    }
    return trace;
}

TEST_F(ServicePassTest, NoServiceFailsWithOneOpenError) {
    DeviceList list(2);
    EXPECT_FALSE(queryServiceDevices(list, nullptr, nullptr, uniqueServiceName(L"KelvaneTestNobody")));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(errorLines(), std::vector<std::string>{"GEC:2003, X:2"});
}

TEST_F(ServicePassTest, ServiceWithoutDevicesSucceedsAfterOneRequest) {
    TestPipeServer server({});
    ASSERT_TRUE(server.start());
    DeviceList list(1);
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(requestTrace(server), std::vector<std::string>{"170/0/0"});
    EXPECT_TRUE(server.allClosedByClient());
    EXPECT_EQ(server.counts().opened, 1u);
    EXPECT_TRUE(errorLines().empty());
}

TEST_F(ServicePassTest, FixedServiceNameIsAsked) {
    TestPipeServer server({sampleUnit(1)}, ServiceName);
    ASSERT_TRUE(server.start()) << "is another service on the fixed name? error " << server.lastError();
    DeviceList list;
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr));
    ASSERT_EQ(list.size(), 1u);
    expectListed(list[0], sampleUnit(1), DeviceSource::Service);
}

TEST_F(ServicePassTest, EveryDeviceCostsFiveRequestsInOrderOnOneConnection) {
    const std::vector<ServiceUnit> units{sampleUnit(1), sampleUnit(2), sampleUnit(3)};
    TestPipeServer server(units);
    ASSERT_TRUE(server.start());
    DeviceList list;
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    EXPECT_EQ(requestTrace(server), fullPassTrace(3));
    ASSERT_EQ(list.size(), 3u);
    for (size_t i = 0; i < units.size(); ++i) expectListed(list[i], units[i], DeviceSource::Service);
    EXPECT_TRUE(server.allClosedByClient());
    EXPECT_EQ(server.counts().opened, 1u);
    EXPECT_TRUE(errorLines().empty());
}

TEST_F(ServicePassTest, KindByteOneBecomesServiceSourceOthersStayAsTheyAre) {
    const std::vector<std::pair<uint8_t, uint32_t>> cases{{1, 2}, {0, 0}, {2, 2}, {5, 5}, {255, 255}};
    std::vector<ServiceUnit> units;
    for (const auto& c : cases) units.push_back(sampleUnit(static_cast<int>(units.size()), c.first));
    TestPipeServer server(units);
    ASSERT_TRUE(server.start());
    DeviceList list;
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    ASSERT_EQ(list.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(static_cast<uint32_t>(list[i].source), cases[i].second)
            << "kind byte " << static_cast<int>(cases[i].first);
    }
}

bool refuseSecondProductId(uint32_t, uint32_t productId) { return productId != 0xA110 + 2; }
bool refuseSecondProduct(uint32_t, uint32_t, const std::wstring& manufacturer, const std::wstring& product) {
    return manufacturer == L"Tavrello" && product != L"Kelvane Unit 2";
}

TEST_F(ServicePassTest, RefusedDevicesCostOnlyTheRequestsBeforeTheFilter) {
    struct Case {
        const char* name;
        IdFilter idFilter;
        DescriptionFilter descriptionFilter;
        std::vector<std::string> secondDeviceTrace;
    };
    const std::vector<Case> cases{
        {"id filter", refuseSecondProductId, nullptr, {"171/6/1"}},
        {"description filter", nullptr, refuseSecondProduct, {"171/6/1", "172/7/1", "173/8/1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<ServiceUnit> units{sampleUnit(1), sampleUnit(2), sampleUnit(3)};
        TestPipeServer server(units);
        ASSERT_TRUE(server.start());
        DeviceList list;
        EXPECT_TRUE(queryServiceDevices(list, c.idFilter, c.descriptionFilter, server.serviceName()));
        ASSERT_EQ(list.size(), 2u);
        expectListed(list[0], units[0], DeviceSource::Service);
        expectListed(list[1], units[2], DeviceSource::Service);

        const std::vector<std::string> trace = requestTrace(server);
        const size_t skipped = c.secondDeviceTrace.size();
        ASSERT_EQ(trace.size(), 1 + 5 + skipped + 5);
        EXPECT_EQ(std::vector<std::string>(trace.begin() + 6, trace.begin() + 6 + skipped), c.secondDeviceTrace);
        const std::string thirdStarts = "171/" + std::to_string(6 + skipped) + "/2";
        EXPECT_EQ(trace[6 + skipped], thirdStarts);
    }
}

TEST_F(ServicePassTest, WrongSequenceNumberSkipsThatDeviceOnly) {
    for (uint32_t command = 171; command <= 175; ++command) {
        SCOPED_TRACE("wrong sequence number in the reply to command " + std::to_string(command));
        const std::vector<ServiceUnit> units{sampleUnit(1), sampleUnit(2)};
        TestPipeServer server(units);
        server.planWhere(testing_support::command(ServiceCommand{command}, 0), wrongSequence());
        ASSERT_TRUE(server.start());
        expectPassLists(server, units, {1});

        // The next device is asked at once, with the next sequence number, on the same connection.
        const std::vector<std::string> trace = requestTrace(server);
        const uint32_t asked = command - 170;  // requests of device 0 that were sent
        ASSERT_EQ(trace.size(), 1 + asked + 5);
        EXPECT_EQ(trace[1 + asked], "171/" + std::to_string(1 + asked) + "/1");
        EXPECT_EQ(server.counts().opened, 1u);
        EXPECT_TRUE(errorLines().empty());
    }
}

TEST_F(ServicePassTest, InvalidCountReplyFailsThePass) {
    struct Case {
        const char* name;
        Plan plan;
        const char* error;  // the start of the one error line, if any
    };
    const std::vector<Case> cases{{"wrong sequence number", wrongSequence(), nullptr},
                                  {"4 bytes", replySized(4), nullptr},
                                  {"263 bytes", replySized(263), nullptr},
                                  {"265 bytes", replySized(265), "GEC:2005, X:234"},
                                  {"after 150 ms", replyAfter(150), "GEC:2005, X:121"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        TestPipeServer server({sampleUnit(1)});
        server.planFor(0, c.plan);
        ASSERT_TRUE(server.start());
        DeviceList list(1);
        EXPECT_FALSE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(server.requests().size(), 1u);
        EXPECT_TRUE(server.allClosedByClient());
        const std::vector<std::string> errors = errorLines();
        if (c.error == nullptr) {
            EXPECT_TRUE(errors.empty());
        } else {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].rfind(c.error, 0), 0u) << errors[0];
        }
        TearDown();
    }
}

TEST_F(ServicePassTest, RepliesOfTheWrongSizeAreNotValid) {
    struct Case {
        uint32_t size;
        uint32_t connections;             // a long reply closes the connection; a short one does not
        std::vector<std::string> errors;  // ERROR_MORE_DATA is 234
    };
    const std::vector<Case> cases{
        {0, 1, {}}, {8, 1, {}}, {263, 1, {}}, {265, 2, {"GEC:2005, X:234"}}, {1000, 2, {"GEC:2005, X:234"}}};
    for (const Case& c : cases) {
        for (uint32_t command = 171; command <= 175; command += 2) {
            SCOPED_TRACE("reply of " + std::to_string(c.size) + " bytes to command " + std::to_string(command));
            SetUp();
            const std::vector<ServiceUnit> units{sampleUnit(1), sampleUnit(2), sampleUnit(3)};
            TestPipeServer server(units);
            server.planWhere(testing_support::command(ServiceCommand{command}, 1), replySized(c.size));
            ASSERT_TRUE(server.start());
            expectPassLists(server, units, {0, 2});
            EXPECT_EQ(server.counts().opened, c.connections);
            EXPECT_EQ(errorLines(), c.errors);
            // Sequence numbers go on across the reconnection.
            const std::vector<std::string> trace = requestTrace(server);
            const uint32_t asked = command - 170;
            ASSERT_EQ(trace.size(), 1 + 5 + asked + 5);
            EXPECT_EQ(trace.back(), "175/" + std::to_string(trace.size() - 1) + "/2");
            EXPECT_TRUE(server.allClosedByClient());
            TearDown();
        }
    }
}

TEST_F(ServicePassTest, StringsAreCutAt127CodeUnits) {
    const std::wstring letters = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::wstring longText;
    while (longText.size() < 200) longText += letters;
    struct Case {
        size_t length;  // units the service is given; it sends at most the 127 the client takes
        size_t kept;
    };
    for (const Case& c : {Case{0, 0}, Case{126, 126}, Case{127, 127}, Case{128, 127}, Case{200, 127}}) {
        SCOPED_TRACE(c.length);
        ServiceUnit unit = sampleUnit(1);
        unit.manufacturer = longText.substr(0, c.length);
        unit.product = std::wstring(c.length, L'\x20AC');  // a unit above 0xFF: both bytes count
        unit.serialNumber = longText.substr(1, c.length);
        unit.devicePath = longText.substr(2, c.length);
        TestPipeServer server({unit});
        ASSERT_TRUE(server.start());
        DeviceList list;
        EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].manufacturer, longText.substr(0, c.kept));
        EXPECT_EQ(list[0].product, std::wstring(c.kept, L'\x20AC'));
        EXPECT_EQ(list[0].serialNumber, longText.substr(1, c.kept));
        EXPECT_EQ(list[0].devicePath, longText.substr(2, c.kept));
    }
}

TEST_F(ServicePassTest, StringEndsAtItsFirstNul) {
    ServiceUnit unit = sampleUnit(1);
    TestPipeServer server({unit});
    Plan plan;
    plan.edit = [](std::vector<uint8_t>& bytes) {
        // "AB", NUL, then more text that must not be taken
        const uint8_t text[] = {'A', 0, 'B', 0, 0, 0, 'C', 0, 'D', 0};
        std::copy(std::begin(text), std::end(text), bytes.begin() + 8);
    };
    server.planWhere(command(ServiceCommand::Serial), plan);
    ASSERT_TRUE(server.start());
    DeviceList list;
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].serialNumber, L"AB");
}

TEST_F(ServicePassTest, LateReplyIsDroppedWithItsConnection) {
    for (uint32_t command = 171; command <= 175; command += 2) {
        SCOPED_TRACE("reply to command " + std::to_string(command) + " after 150 ms");
        SetUp();
        const std::vector<ServiceUnit> units{sampleUnit(1), sampleUnit(2), sampleUnit(3)};
        TestPipeServer server(units);
        // The late reply carries the sequence number of the request that follows
        // it and another unit's data: taken for the next reply, it would pass.
        Plan late = replyAfter(150);
        late.sequenceDelta = 1;
        late.edit = [](std::vector<uint8_t>& bytes) {
            for (size_t i = 8; i < 20; ++i) bytes[i] = 0x77;
        };
        server.planOnceWhere(testing_support::command(ServiceCommand{command}, 1), late);
        ASSERT_TRUE(server.start());
        expectPassLists(server, units, {0, 2});
        const std::vector<std::string> errors = errorLines();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0], "GEC:2005, X:121");  // no answer in time
        EXPECT_EQ(server.counts().opened, 2u);
        const std::vector<ServiceRequestRecord> requests = server.requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().connection, 2u);
        EXPECT_TRUE(server.allClosedByClient());
        TearDown();
    }
}

TEST_F(ServicePassTest, ReplyBufferIsLeftAloneAfterATimeout) {
    TestPipeServer server({sampleUnit(1)});
    server.planFor(0, replyAfter(150));
    ASSERT_TRUE(server.start());
    ServicePipeClient client(server.serviceName());
    const ServiceMessage request = makeServiceRequest(ServiceCommand::DeviceCount, 0, 0);
    ServiceMessage reply;
    reply.fill(0xAB);
    EXPECT_EQ(client.exchange(request.data(), ServiceMessageSize, reply.data(), ServiceMessageSize), 0u);
    EXPECT_FALSE(client.isOpen());
    reply.fill(0xCD);
    // The server sends its reply at 150 ms and then sees the connection gone.
    ASSERT_TRUE(server.allClosedByClient());
    ::Sleep(50);
    for (uint8_t byte : reply) ASSERT_EQ(byte, 0xCD);
    const std::vector<std::string> errors = errorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "GEC:2005, X:121");  // no answer in time
}

TEST_F(ServicePassTest, WriteThatDoesNotFinishInTimeClosesTheConnection) {
    TestPipeServer server({sampleUnit(1)});
    // The service stops reading for a while after the first request.
    Plan stall = act(Plan::Action::NoReply);
    stall.delayMs = 2000;
    server.planFor(0, stall);
    ASSERT_TRUE(server.start());
    ServicePipeClient client(server.serviceName());
    const ServiceMessage request = makeServiceRequest(ServiceCommand::DeviceCount, 0, 0);
    ASSERT_EQ(client.exchange(request.data(), ServiceMessageSize, nullptr, 0), 0u);
    ASSERT_TRUE(client.isOpen());
    // Far more than the pipe holds: the write cannot end while nobody reads.
    const std::vector<uint8_t> large(1 << 20, 0x11);
    ServiceMessage reply{};
    EXPECT_EQ(client.exchange(large.data(), static_cast<uint32_t>(large.size()), reply.data(), ServiceMessageSize), 0u);
    EXPECT_FALSE(client.isOpen());
    const std::vector<std::string> errors = errorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "GEC:2006, X:121");
}

// A synchronous client that asks for nothing special; waits while the server
// readies its next instance.
platform::UniqueFileHandle openPlainClient(const std::wstring& serviceName) {
    const std::wstring path = servicePipePath(serviceName);
    for (int attempt = 0; attempt < 20; ++attempt) {
        platform::UniqueFileHandle pipe(
            ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe || ::GetLastError() != ERROR_PIPE_BUSY) return pipe;
        ::WaitNamedPipeW(path.c_str(), 100);
    }
    return platform::UniqueFileHandle();
}

// Takes the only pipe instance, as another client of the service would.
class Squatter {
public:
    explicit Squatter(const std::wstring& serviceName) : pipe_(openPlainClient(serviceName)) {}
    ~Squatter() {
        if (releaser_.joinable()) releaser_.join();
    }
    bool holds() const { return pipe_.valid(); }
    void releaseAfter(DWORD ms) {
        releaser_ = std::thread([this, ms] {
            ::Sleep(ms);
            pipe_.reset();
        });
    }

private:
    platform::UniqueFileHandle pipe_;
    std::thread releaser_;
};

TEST_F(ServicePassTest, BusyPipeIsWaitedFor) {
    const std::vector<ServiceUnit> units{sampleUnit(1)};
    TestPipeServer server(units, std::wstring(), 1);
    ASSERT_TRUE(server.start());
    Squatter squatter(server.serviceName());
    ASSERT_TRUE(squatter.holds());
    squatter.releaseAfter(40);
    DeviceList list;
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    ASSERT_EQ(list.size(), 1u);
    expectListed(list[0], units[0], DeviceSource::Service);
    EXPECT_EQ(server.counts().opened, 2u);
    EXPECT_TRUE(errorLines().empty());
}

TEST_F(ServicePassTest, PipeThatStaysBusyFailsThePass) {
    TestPipeServer server({sampleUnit(1)}, std::wstring(), 1);
    ASSERT_TRUE(server.start());
    Squatter squatter(server.serviceName());
    ASSERT_TRUE(squatter.holds());
    DeviceList list;
    EXPECT_FALSE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(errorLines(), std::vector<std::string>{"GEC:2004, X:121"});
    EXPECT_TRUE(server.requests().empty());
}

// A service with one instance and other clients that take it the moment it is
// free: every wait for a free instance succeeds and nearly every open still
// finds it busy.
class Contested {
public:
    explicit Contested(const std::wstring& name) : path_(servicePipePath(name)) {
        instance_.reset(::CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, ServiceMessageSize,
                                           ServiceMessageSize, 0, nullptr));
        threads_.emplace_back([this] { serve(); });
        for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { take(); });
    }
    ~Contested() {
        done_ = true;
        ::CancelIoEx(instance_.get(), nullptr);
        for (std::thread& thread : threads_) thread.join();
    }
    bool valid() const { return instance_.valid(); }
    int connections() const { return connections_; }

private:
    // Lets each client in, waits until it leaves, and listens again.
    void serve() {
        platform::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        uint8_t byte = 0;
        while (!done_) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = event.get();
            ::ResetEvent(event.get());
            if (!::ConnectNamedPipe(instance_.get(), &overlapped) && ::GetLastError() == ERROR_IO_PENDING) {
                DWORD ignored = 0;
                if (!::GetOverlappedResult(instance_.get(), &overlapped, &ignored, TRUE)) continue;
            }
            ++connections_;
            ::ResetEvent(event.get());
            DWORD read = 0;  // ends when the client leaves (or at the end, cancelled)
            if (!::ReadFile(instance_.get(), &byte, 1, &read, &overlapped) && ::GetLastError() == ERROR_IO_PENDING) {
                ::GetOverlappedResult(instance_.get(), &overlapped, &read, TRUE);
            }
            ::DisconnectNamedPipe(instance_.get());
        }
    }
    // Another client: opens without pause, holds the instance briefly, leaves.
    void take() {
        while (!done_) {
            platform::UniqueFileHandle pipe(
                ::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (pipe) ::Sleep(5);
        }
    }

    const std::wstring path_;
    platform::UniqueFileHandle instance_;
    std::atomic<bool> done_{false};
    std::atomic<int> connections_{0};
    std::vector<std::thread> threads_;
};

TEST_F(ServicePassTest, BusyWaitsAreLimitedWhenOtherClientsTakeEveryFreedInstance) {
    // The client may still win a race now and then, and that attempt is
    // repeated; without a limit it would go on until it wins, every time.
    for (int attempt = 0; attempt < 5; ++attempt) {
        SetUp();
        const std::wstring name = uniqueServiceName(L"KelvaneTest_Contested");
        Contested service(name);
        ASSERT_TRUE(service.valid());
        ASSERT_TRUE(waitUntil([&] { return service.connections() > 1; }, 5000));
        ServicePipeClient client(name);
        if (!client.connect()) {
            EXPECT_EQ(errorLines(), std::vector<std::string>{"GEC:2004, X:231"});
            EXPECT_EQ(client.busyWaits(), ServiceBusyWaitLimit) << "gives up after exactly its limit of waits";
            return;
        }
        TearDown();
    }
    FAIL() << "the client got the instance in every attempt";
}

// A service that stops answering costs a few waits per pass, not one per device;
// an answer in between starts the count again.
TEST_F(ServicePassTest, ThreeTimeoutsInARowEndThePass) {
    std::vector<ServiceUnit> units;
    for (int i = 0; i < 8; ++i) units.push_back(sampleUnit(i + 1));
    TestPipeServer server(units);
    server.planWhere(
        [](const ServiceRequestRecord& r) { return r.command != ServiceCommand::DeviceCount && r.deviceIndex != 2; },
        act(Plan::Action::NoReply));
    ASSERT_TRUE(server.start());
    DeviceList list;
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    ASSERT_EQ(list.size(), 1u);
    expectListed(list[0], units[2], DeviceSource::Service);
    std::vector<uint32_t> asked;
    for (const ServiceRequestRecord& r : server.requests()) {
        if (r.command == ServiceCommand::DeviceIdentity) asked.push_back(r.deviceIndex);
    }
    EXPECT_EQ(asked, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(errorLines(), std::vector<std::string>(5, "GEC:2005, X:121"));
}

TEST_F(ServicePassTest, ServiceThatVanishesEndsThePassWithWhatItHad) {
    struct Case {
        const char* name;
        Plan::Action action;
        size_t listed;
    };
    for (const Case& c : {Case{"the service vanishes", Plan::Action::Vanish, 1},
                          Case{"the connection is dropped", Plan::Action::DropConnection, 2}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        const std::vector<ServiceUnit> units{sampleUnit(1), sampleUnit(2), sampleUnit(3)};
        TestPipeServer server(units);
        server.planWhere(command(ServiceCommand::Product, 1), act(c.action));
        ASSERT_TRUE(server.start());
        DeviceList list;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, std::chrono::seconds(3));  // a hang check, not a speed target
        ASSERT_EQ(list.size(), c.listed);
        expectListed(list[0], units[0], DeviceSource::Service);
        if (c.listed == 2) expectListed(list[1], units[2], DeviceSource::Service);
        const std::vector<std::string> errors = errorLines();
        ASSERT_FALSE(errors.empty());
        // The read on the lost connection fails; later connects fail as the pipe is gone.
        EXPECT_EQ(errors[0].rfind("GEC:2005", 0), 0u) << errors[0];
        if (c.action == Plan::Action::Vanish) {
            EXPECT_EQ(errors.back(), "GEC:2002");
            EXPECT_NE(std::find(errors.begin(), errors.end(), "GEC:2003, X:2"), errors.end());
        }
        TearDown();
    }
}

TEST_F(ServicePassTest, UnbelievableCountIsCappedAt128Devices) {
    TestPipeServer server({sampleUnit(1)});
    Plan plan;
    plan.edit = [](std::vector<uint8_t>& bytes) { writeLe32(&bytes[8], 0xFFFFFFFFu); };
    server.planFor(0, plan);
    ASSERT_TRUE(server.start());
    DeviceList list;
    // The service answers every index beyond its one unit with ids 0.
    EXPECT_TRUE(queryServiceDevices(
        list, [](uint32_t vendorId, uint32_t) { return vendorId != 0; }, nullptr, server.serviceName()));
    ASSERT_EQ(list.size(), 1u);
    const std::vector<ServiceRequestRecord> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u + 5u + 127u);
    EXPECT_EQ(requests.back().deviceIndex, 127u);
}

// Bytes in use in every heap of the process (the memory counters of some
// systems report no private usage).
size_t heapBytesInUse() {
    std::vector<HANDLE> heaps(::GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    size_t total = 0;
    for (HANDLE heap : heaps) {
        if (!::HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (::HeapWalk(heap, &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
        }
        ::HeapUnlock(heap);
    }
    return total;
}

// The window asks once a second for days: every pass must give back what it took.
TEST_F(ServicePassTest, ManyPassesCloseEveryConnectionAndKeepMemoryFlat) {
    const std::vector<ServiceUnit> units{sampleUnit(1), sampleUnit(2)};
    TestPipeServer server(units);
    server.setRecordRequests(false);
    ASSERT_TRUE(server.start());
    DeviceList list;
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    ASSERT_TRUE(server.waitUntilIdle(2000));
    const size_t before = heapBytesInUse();
    const int passes = 1000;
    for (int i = 0; i < passes; ++i) {
        ASSERT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
        ASSERT_EQ(list.size(), 2u);
    }
    EXPECT_TRUE(server.allClosedByClient());
    EXPECT_EQ(server.counts().opened, 100u + passes);
    const size_t after = heapBytesInUse();
    // A pass that kept as little as 33 bytes would add more than this.
    EXPECT_LT(after, before + 32 * 1024) << "heap bytes in use: " << before << " before, " << after << " after";
}

TEST_F(ServicePassTest, ClientDoesNotLetTheServiceImpersonateIt) {
    TestPipeServer server({sampleUnit(1)});
    server.setCheckImpersonation(true);
    ASSERT_TRUE(server.start());
    DeviceList list;
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, server.serviceName()));
    ASSERT_TRUE(server.allClosedByClient());

    // A client that opens the pipe without asking for anything: how far the
    // service could go with the default.
    {
        platform::UniqueFileHandle plain = openPlainClient(server.serviceName());
        ASSERT_TRUE(plain.valid());
        const ServiceMessage request = makeServiceRequest(ServiceCommand::DeviceCount, 0, 0);
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(plain.get(), request.data(), ServiceMessageSize, &written, nullptr));
        ServiceMessage reply{};
        DWORD read = 0;
        ::ReadFile(plain.get(), reply.data(), ServiceMessageSize, &read, nullptr);
    }
    ASSERT_TRUE(server.waitUntilIdle(2000));
    const std::vector<ImpersonationResult> results = server.impersonations();
    ASSERT_EQ(results.size(), 2u);
    const ImpersonationResult& ours = results[0];
    const ImpersonationResult& plain = results[1];
    if (!plain.impersonated || plain.level < 0 || plain.level == ours.level) {
        GTEST_SKIP() << "this system does not report the impersonation level of a pipe client (plain client: "
                     << (plain.impersonated ? "impersonated" : "not impersonated") << ", level " << plain.level
                     << ", error " << plain.error << "; ours: level " << ours.level << ")";
    }
    EXPECT_EQ(plain.level, SecurityImpersonation);
    if (ours.impersonated) {
        EXPECT_LE(ours.level, SecurityIdentification);
    }
}

// The exchange on its own: arguments that are refused before anything is sent.
TEST_F(ServicePassTest, ExchangeRefusesMissingBuffers) {
    TestPipeServer server({sampleUnit(1)});
    ASSERT_TRUE(server.start());
    const ServiceMessage request = makeServiceRequest(ServiceCommand::DeviceCount, 0, 0);
    ServiceMessage reply{};
    struct Case {
        const void* request;
        uint32_t requestSize;
        void* reply;
        uint32_t replySize;
        const char* line;
    };
    const std::vector<Case> cases{{nullptr, ServiceMessageSize, reply.data(), ServiceMessageSize, "GEC:2000"},
                                  {request.data(), 0, reply.data(), ServiceMessageSize, "GEC:2000"},
                                  {request.data(), ServiceMessageSize, nullptr, ServiceMessageSize, "GEC:2001"}};
    std::vector<std::string> expected;
    ServicePipeClient client(server.serviceName());
    for (const Case& c : cases) {
        EXPECT_EQ(client.exchange(c.request, c.requestSize, c.reply, c.replySize), 0u);
        expected.push_back(c.line);
    }
    EXPECT_FALSE(client.isOpen());
    EXPECT_EQ(errorLines(), expected);
    EXPECT_EQ(server.counts().opened, 0u);

    // Without a reply buffer the request is sent and the connection stays open.
    server.planFor(0, act(Plan::Action::NoReply));
    EXPECT_EQ(client.exchange(request.data(), ServiceMessageSize, nullptr, 0), 0u);
    EXPECT_TRUE(client.isOpen());
    const ServiceMessage second = makeServiceRequest(ServiceCommand::DeviceCount, 1, 0);
    EXPECT_EQ(client.exchange(second.data(), ServiceMessageSize, reply.data(), ServiceMessageSize), ServiceMessageSize);
    EXPECT_EQ(readLe32(&reply[0]), 1u);
    EXPECT_EQ(readLe32(&reply[8]), 1u);
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.counts().opened, 1u);
    client.close();
    EXPECT_FALSE(client.isOpen());
    EXPECT_TRUE(server.allClosedByClient());
}

TEST_F(ServicePassTest, ExchangeWithoutServiceLogsOpenAndNotOpen) {
    ServicePipeClient client(uniqueServiceName(L"KelvaneTestNobody"));
    const ServiceMessage request = makeServiceRequest(ServiceCommand::DeviceCount, 0, 0);
    ServiceMessage reply{};
    EXPECT_EQ(client.exchange(request.data(), ServiceMessageSize, reply.data(), ServiceMessageSize), 0u);
    EXPECT_EQ(errorLines(), (std::vector<std::string>{"GEC:2003, X:2", "GEC:2002"}));
}

TEST_F(ServicePassTest, NothingIsLoggedWithoutALog) {
    endLog();
    DeviceList list;
    EXPECT_FALSE(queryServiceDevices(list, nullptr, nullptr, uniqueServiceName(L"KelvaneTestNobody")));
    EXPECT_TRUE(errorLines().empty());
}

}  // namespace
