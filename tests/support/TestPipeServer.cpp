#include "TestPipeServer.h"

#include <atomic>

using namespace platform;

namespace testing_support {

std::wstring uniqueServiceName(const std::wstring& prefix) {
    static std::atomic<unsigned> counter{0};
    return prefix + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
}

ServiceUnit sampleUnit(int n, uint8_t kind) {
    ServiceUnit unit;
    unit.vendorId = 0x0483;
    unit.productId = 0xA110 + static_cast<uint32_t>(n);
    unit.kind = kind;
    unit.manufacturer = L"Tavrello";
    unit.product = L"Kelvane Unit " + std::to_wstring(n);
    unit.serialNumber = L"SN" + std::to_wstring(1000 + n);
    unit.devicePath = L"\\\\?\\usb#vid_0483&pid_a110#" + std::to_wstring(n) + L"#{path}";
    return unit;
}

TestPipeServer::TestPipeServer(std::vector<ServiceUnit> units, std::wstring serviceName, DWORD maxInstances)
    : ServicePipeServer(serviceName.empty() ? uniqueServiceName(L"KelvaneTestService") : serviceName, std::move(units),
                        maxInstances) {
    setScript([this](const ServiceRequestRecord& request) { return choose(request); });
}

void TestPipeServer::planFor(uint32_t requestNumber, ServiceReplyPlan plan) {
    std::lock_guard<std::mutex> lock(planLock_);
    numbered_[requestNumber] = std::move(plan);
}

void TestPipeServer::planWhere(Match match, ServiceReplyPlan plan) {
    std::lock_guard<std::mutex> lock(planLock_);
    rules_.push_back(Rule{std::move(match), std::move(plan), false, false});
}

void TestPipeServer::planOnceWhere(Match match, ServiceReplyPlan plan) {
    std::lock_guard<std::mutex> lock(planLock_);
    rules_.push_back(Rule{std::move(match), std::move(plan), true, false});
}

ServiceReplyPlan TestPipeServer::choose(const ServiceRequestRecord& request) {
    std::lock_guard<std::mutex> lock(planLock_);
    const auto numbered = numbered_.find(request.number);
    if (numbered != numbered_.end()) return numbered->second;
    for (Rule& rule : rules_) {
        if ((rule.once && rule.used) || !rule.match(request)) continue;
        rule.used = true;
        return rule.plan;
    }
    return ServiceReplyPlan{};
}

bool TestPipeServer::allClosedByClient(DWORD timeoutMs) const {
    if (!waitUntilIdle(timeoutMs)) return false;
    const ServerCounts c = counts();
    return c.closedByServer == 0 && c.closedByClient == c.opened;
}

TestPipeServer::Match command(ServiceCommand command, int deviceIndex) {
    return [command, deviceIndex](const ServiceRequestRecord& r) {
        return r.command == command && (deviceIndex < 0 || r.deviceIndex == static_cast<uint32_t>(deviceIndex));
    };
}

}  // namespace testing_support
