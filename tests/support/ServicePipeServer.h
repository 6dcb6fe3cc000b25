#pragma once
// The pipe server under the names the tests and benchmarks use. It ships with
// the service simulator, so it lives in tools/service-pipe-server; nothing
// shipped includes this header.

#include "service_pipe_server/ServicePipeServer.h"

namespace testing_support {

using service_pipe_server::buildServiceReply;
using service_pipe_server::defaultServiceUnit;
using service_pipe_server::ImpersonationResult;
using service_pipe_server::ServerCounts;
using service_pipe_server::ServicePipeServer;
using service_pipe_server::ServiceReplyPlan;
using service_pipe_server::ServiceRequestRecord;
using service_pipe_server::ServiceScript;
using service_pipe_server::ServiceUnit;

}  // namespace testing_support
