#pragma once
// An in-process service for tests: the service pipe server with a reply plan
// per request, chosen by request number or by what the request asks.

#include "ServicePipeServer.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

// A service name no other test process uses: <prefix>_<process id>_<counter>.
std::wstring uniqueServiceName(const std::wstring& prefix);

// A unit with ordinary values; `n` makes its serial number and path its own.
ServiceUnit sampleUnit(int n, uint8_t kind = 1);

class TestPipeServer : public ServicePipeServer {
public:
    using Match = std::function<bool(const ServiceRequestRecord&)>;

    explicit TestPipeServer(std::vector<ServiceUnit> units, std::wstring serviceName = std::wstring(),
                            DWORD maxInstances = PIPE_UNLIMITED_INSTANCES);
    // Stops serving before the plans go away.
    ~TestPipeServer() { stop(); }

    // The plan for the request with this number (0 is the first request the
    // server sees). May be called while the server runs.
    void planFor(uint32_t requestNumber, ServiceReplyPlan plan);
    // The plan for every request that matches, unless a numbered plan applies.
    void planWhere(Match match, ServiceReplyPlan plan);
    // The plan for the first request that matches, once.
    void planOnceWhere(Match match, ServiceReplyPlan plan);

    // True when every connection has been closed within timeoutMs, and closed by the client.
    bool allClosedByClient(DWORD timeoutMs = 2000) const;

private:
    struct Rule {
        Match match;
        ServiceReplyPlan plan;
        bool once = false;
        bool used = false;
    };
    ServiceReplyPlan choose(const ServiceRequestRecord& request);

    std::mutex planLock_;
    std::map<uint32_t, ServiceReplyPlan> numbered_;
    std::vector<Rule> rules_;
};

// Matches requests of one command, and of one device index when one is given.
TestPipeServer::Match command(platform::ServiceCommand command, int deviceIndex = -1);

}  // namespace testing_support
