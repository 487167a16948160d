// Worker-thread base: a derived class puts its body in Run().
//
// Every thread this object creates ends up joined or detached, exactly once:
// Stop() joins, CloseThreadHandle() (from any thread, the worker itself
// included) detaches, and whichever comes first decides. A Run() that has
// released its thread may end the life of this object before it returns.
#pragma once

namespace kyr_hid_library {

struct CKyrThreadData;

class CKyrThread {
public:
    enum ePriority { Low = 0, Normal = 1, High = 2 };

    CKyrThread();
    // Does not stop a running thread: derived classes stop theirs first, since
    // Run() may use their members. A thread still owned here is detached.
    virtual ~CKyrThread();
    CKyrThread(const CKyrThread&) = delete;
    CKyrThread& operator=(const CKyrThread&) = delete;

    // Starts a new thread running Run(); a started thread is stopped first.
    bool Start();
    // Requests the stop and waits for the thread to end. On the worker thread
    // itself it cannot wait: it requests the stop and releases the thread.
    void Stop();
    bool IsStarted() const;

    void SetTerminateThreadFlag();
    bool IsSetTerminateThreadFlag() const;
    // Waits up to dwMiliseconds for a stop request instead of sleeping through
    // it; true when the stop has been requested.
    bool WaitForTerminate(unsigned long dwMiliseconds) const;

    // Scheduling priority of threads started after the call.
    void SetPriority(ePriority priority);
    // Gives the thread up without waiting: it finishes on its own, detached.
    void CloseThreadHandle();
    // Names the calling thread, as tools show it (at most 15 characters).
    static void SetCurrentThreadName(const char* pszName);

    virtual bool Run() = 0;

protected:
    // Called after a stop request has been recorded, so that a Run() blocked
    // elsewhere than in WaitForTerminate() can be woken.
    virtual void OnTerminateRequested() {}

private:
    static void* _Thread(void* pArg);

    CKyrThreadData* m_pData;
};

} // namespace kyr_hid_library
