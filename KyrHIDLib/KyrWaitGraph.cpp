#include "KyrWaitGraph.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace kyr_hid_library {

namespace {

using Record = CKyrWaitGraph::Wait::Record;

struct ThreadRecord {
    std::vector<const void*> inside; // innermost last
    Record* pWait = nullptr;         // the wait it blocks in
};

struct Graph {
    std::mutex cs;
    std::condition_variable cvWoken;    // a broken wait has been woken
    std::vector<ThreadRecord*> threads; // guarded by cs: those inside something or waiting
};

// Never destroyed: detached library threads may still be inside something
// while the process exits.
Graph& TheGraph()
{
    static Graph* s_pGraph = new Graph;
    return *s_pGraph;
}

// The calling thread's record, listed in the graph while it is inside
// something or waits. A thread that ends the process from inside a callback
// leaves its record listed: it is not freed then.
struct SelfHolder {
    ThreadRecord* pRecord = new ThreadRecord;
    ~SelfHolder()
    {
        Graph& g = TheGraph();
        std::lock_guard lock(g.cs);
        if (std::find(g.threads.begin(), g.threads.end(), pRecord) == g.threads.end())
            delete pRecord;
    }
};
thread_local SelfHolder t_Self;

bool IsListed(const ThreadRecord& self)
{
    return !self.inside.empty() || self.pWait != nullptr;
}

// Whether a chain of blocked waits leads from the threads other than pWaiter
// inside pObject to the calling thread; path receives the waits along it.
bool Reaches(const Graph& g, const ThreadRecord* pWaiter, const void* pObject, std::vector<Record*>& path,
             std::vector<const ThreadRecord*>& seen)
{
    for (const ThreadRecord* pOther : g.threads) {
        if (pOther == pWaiter || std::find(pOther->inside.begin(), pOther->inside.end(), pObject) == pOther->inside.end())
            continue;
        if (pOther == t_Self.pRecord)
            return true;
        Record* pWait = pOther->pWait;
        if (pWait == nullptr || pWait->bBroken || std::find(seen.begin(), seen.end(), pOther) != seen.end())
            continue;
        seen.push_back(pOther);
        path.push_back(pWait);
        if (Reaches(g, pOther, pWait->pObject, path, seen))
            return true;
        path.pop_back();
    }
    return false;
}

} // namespace

CKyrWaitGraph::Inside::Inside(const void* pObject) : m_pObject(pObject)
{
    Graph& g = TheGraph();
    ThreadRecord& self = *t_Self.pRecord;
    std::lock_guard lock(g.cs);
    if (!IsListed(self))
        g.threads.push_back(&self);
    self.inside.push_back(pObject);
}

CKyrWaitGraph::Inside::~Inside()
{
    Graph& g = TheGraph();
    ThreadRecord& self = *t_Self.pRecord;
    std::lock_guard lock(g.cs);
    const auto it = std::find(self.inside.rbegin(), self.inside.rend(), m_pObject);
    self.inside.erase(std::next(it).base());
    if (!IsListed(self))
        std::erase(g.threads, &self);
}

CKyrWaitGraph::Wait::Wait(eKind eKind, std::function<void()> wake)
{
    m_Record.bFailable = eKind == Failable;
    m_Record.wake = std::move(wake);
}

CKyrWaitGraph::Wait::~Wait()
{
    Graph& g = TheGraph();
    ThreadRecord& self = *t_Self.pRecord;
    std::unique_lock lock(g.cs);
    g.cvWoken.wait(lock, [&] { return m_Record.nWaking == 0; });
    if (self.pWait == &m_Record) {
        self.pWait = nullptr;
        if (!IsListed(self))
            std::erase(g.threads, &self);
    }
}

bool CKyrWaitGraph::Wait::Begin(const void* pObject)
{
    Graph& g = TheGraph();
    ThreadRecord& self = *t_Self.pRecord;
    std::lock_guard lock(g.cs);
    m_Record.pObject = pObject;
    for (;;) {
        std::vector<Record*> path;
        std::vector<const ThreadRecord*> seen;
        if (!Reaches(g, &self, pObject, path, seen)) {
            if (!IsListed(self))
                g.threads.push_back(&self);
            self.pWait = &m_Record;
            return true;
        }
        if (m_Record.bFailable)
            return false;
        const auto it = std::find_if(path.begin(), path.end(), [](const Record* p) { return p->bFailable; });
        if (it == path.end())
            return false;
        // The broken wait no longer counts: look again for another cycle.
        (*it)->bBroken = true;
        ++(*it)->nWaking;
        m_Broken.push_back(*it);
    }
}

bool CKyrWaitGraph::Wait::Broken() const
{
    Graph& g = TheGraph();
    std::lock_guard lock(g.cs);
    return m_Record.bBroken;
}

void CKyrWaitGraph::Wait::WakeBroken()
{
    Graph& g = TheGraph();
    for (Record* pRecord : m_Broken) {
        if (pRecord->wake)
            pRecord->wake();
        std::lock_guard lock(g.cs);
        --pRecord->nWaking;
        g.cvWoken.notify_all();
    }
    m_Broken.clear();
}

} // namespace kyr_hid_library
