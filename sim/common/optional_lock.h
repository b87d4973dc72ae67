// A lock that a simulation driven by one thread can do without. The driver reads headers and
// tables byte by byte, prints hundreds of lines and takes a port pair per configuration dword;
// on the machines we run on, the locked instructions of every acquire and release are much of
// what each of those costs in the simulation. A harness that drives the machine from one
// thread (the fuzzer, the fault sweep) promises so, and the lock then only checks the promise:
// another thread taking it aborts the run, since it is the harness that broke its word, not the
// software under test. Everything else keeps the real lock.
#ifndef CORVAX_SIM_COMMON_OPTIONAL_LOCK_H
#define CORVAX_SIM_COMMON_OPTIONAL_LOCK_H

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace sim {

template <typename Mutex>
class OptionalLock {
  public:
    void lock() {
        if (single_) {
            CheckOwner();
            return;
        }
        mutex_.lock();
    }
    void unlock() {
        if (!single_) {
            mutex_.unlock();
        }
    }
    // Only while no thread holds the lock and no other thread uses it; with single set, the
    // calling thread becomes the only one allowed.
    void SetSingleThreaded(bool single) {
        single_ = single;
        owner_ = std::this_thread::get_id();
    }

  private:
    void CheckOwner() const {
        if (std::this_thread::get_id() != owner_) {
            std::fprintf(stderr, "a simulation promised to one thread was used by another\n");
            std::abort();
        }
    }

    Mutex mutex_;
    bool single_ = false;
    std::thread::id owner_;
};

}  // namespace sim

#endif  // CORVAX_SIM_COMMON_OPTIONAL_LOCK_H
