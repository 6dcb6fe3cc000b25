#!/usr/bin/env bash
# Builds and runs the service pass benchmark under Wine. Arguments go to
# service-bench: [batches (15)] [round trips per batch (200)] [passes per batch (20)].
exec "$(dirname "$0")/bench.sh" service-bench "$@"
