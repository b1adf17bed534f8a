// The pixel loops' OpenMP workers wait passively (asleep, not spinning)
// between parallel row loops and at their ends. Spinning workers take the
// processor from script threads and the window thread, and on a busy machine
// a team that spins while one of its members is descheduled stalls for whole
// time slices (an update of the window-painted output took tens of
// milliseconds instead of one).
//
// The OpenMP runtime reads its environment once, when it is initialised, so
// the setting must be in place before that: this little library is linked
// into the engine after the OpenMP runtime, which makes the dynamic loader
// run its initialiser first (and after the C library's, which sets up the
// environment). A value the user set is kept. Unlike setting it from main(),
// this costs nothing at start-up.
#include <cstdlib>

namespace {

[[gnu::constructor]] void PassiveOpenMpWaiting() { setenv("OMP_WAIT_POLICY", "PASSIVE", 0); }

}  // namespace
