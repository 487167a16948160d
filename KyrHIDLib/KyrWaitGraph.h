// Waits between the library's threads, process-wide.
//
// A thread is inside an object while it works on the object's behalf: a
// handle (an exported call on it, or its read or timer thread delivering), a
// handle's callback table or report tap (while a call goes through it), a
// hotplug registration and the hotplug dispatcher (while a hotplug callback
// runs). Some calls block until no other thread is inside an object: a close
// (its handle), a table or tap swap (the old table or tap), a hotplug
// deregistration (the registration), a hotplug registration that enumerates
// (the dispatcher). A thread inside one object may itself block in such a
// wait from inside an application callback, so waits chain across threads,
// and a chain that leads back to the thread that started it never ends: A's
// callback swaps B's table while B's callback swaps A's.
//
// The rule, kept here for every such wait: before it blocks, a wait is
// started here, which records what the thread waits on and looks, under one
// mutex, for a chain of waits from the threads inside that object back to the
// caller. Where there is one, blocking would close a cycle, and instead:
//  - a wait that can fail (swap, (de)registration) fails at once;
//  - a close, which cannot fail, fails a failable wait of the cycle (which
//    then gives up and lets its thread go on) and blocks; where every wait of
//    the cycle is a close, it does not block, and its handle is torn down
//    later, once the threads inside have left.
// Each wait is checked when it begins, against every wait already blocked, so
// no cycle ever forms. Waits not started here (a synchronous send's wait for
// its answer, a lock held for a bounded time) end without the help of the
// threads they wait for, and need not be.
//
// The mutex is the innermost lock: it is taken under the objects' own locks
// and never held while another lock is taken or a callback runs.
#pragma once

#include <functional>
#include <vector>

namespace kyr_hid_library {

class CKyrWaitGraph {
public:
    // The calling thread is inside pObject while this lives.
    class Inside {
    public:
        explicit Inside(const void* pObject);
        ~Inside();
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;

    private:
        const void* m_pObject;
    };

    // One wait of the calling thread until no other thread is inside an
    // object; the waiter blocks on its own condition. A thread has one wait
    // at a time.
    class Wait {
    public:
        enum eKind { Failable, Close };
        // wake takes the lock the waiter blocks under and notifies it; a close
        // that breaks this wait calls it, with no lock held. The wait (and so
        // what wake refers to) outlives that call.
        explicit Wait(eKind eKind, std::function<void()> wake = nullptr);
        // Ends the wait. Must not run under the lock wake takes.
        ~Wait();
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;

        // Starts waiting on pObject, under the lock the waiter blocks with.
        // False when blocking would close a cycle: the caller must not block
        // (a failable call fails; a close completes later).
        bool Begin(const void* pObject);
        // A close broke this wait to end a cycle: the waiter gives up.
        bool Broken() const;
        // Wakes the waits Begin broke. Call with no lock held, before
        // blocking.
        void WakeBroken();

        // What the graph knows of a wait; guarded by the graph's mutex.
        struct Record {
            const void* pObject = nullptr;
            bool bFailable = false;
            std::function<void()> wake; // set once, before the wait begins
            bool bBroken = false;
            int nWaking = 0; // closes that broke it and have yet to wake it
        };

    private:
        Record m_Record;
        std::vector<Record*> m_Broken; // by Begin, for WakeBroken
    };
};

} // namespace kyr_hid_library
