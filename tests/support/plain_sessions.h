// Peer sessions created while this is on run over clear TCP: no handshake
// proof, no encryption. Only benchmarks weighing the cost of TLS use it; the
// programs never do.
#pragma once

namespace qur::peers::testing {

// Any thread; affects sessions created afterwards.
void setPlainSessions(bool plain);

}  // namespace qur::peers::testing
