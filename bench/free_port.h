// FreePort: a TCP port of 127.0.0.1 for a server that a benchmark starts.
#ifndef QV_BENCH_FREE_PORT_H_
#define QV_BENCH_FREE_PORT_H_

namespace qv::bench {

// A port on 127.0.0.1 that nothing listened on a moment ago; 0 on failure.
// Another program may take it in between: its caller tries again.
int FreePort();

}  // namespace qv::bench

#endif  // QV_BENCH_FREE_PORT_H_
