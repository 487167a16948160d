#include "Tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kyrtouch {

ContactTracker::ContactTracker(int nMaxContacts, double dMaxJump)
    : m_Slots(static_cast<size_t>(std::max(nMaxContacts, 1))), m_dMaxJump(dMaxJump)
{
}

void ContactTracker::Clear()
{
    for (Slot& slot : m_Slots) {
        slot.bActive = false;
        slot.nTrackingId = -1;
    }
}

const std::vector<int>& ContactTracker::Update(std::span<const Point> points)
{
    m_ActiveSlots.clear();
    for (size_t i = 0; i < m_Slots.size(); ++i) {
        if (m_Slots[i].bActive)
            m_ActiveSlots.push_back(static_cast<int>(i));
    }
    const size_t nOld = m_ActiveSlots.size();
    const size_t nNew = points.size();
    const size_t n = std::max(nOld, nNew);
    m_Result.assign(nNew, -1);

    // Square matrix: a pair farther apart than the jump limit, or a pairing
    // with a padding row or column, costs the limit. Pairing an ended contact
    // with a new one then costs as much as leaving both unmatched, so the
    // optimum is the least total distance over the pairs within the limit.
    m_Cost.assign(n * n, m_dMaxJump);
    for (size_t r = 0; r < nOld; ++r) {
        const Point& p = m_Slots[static_cast<size_t>(m_ActiveSlots[r])].position;
        for (size_t c = 0; c < nNew; ++c)
            m_Cost[r * n + c] = std::min(std::hypot(points[c].x - p.x, points[c].y - p.y), m_dMaxJump);
    }
    if (n > 0)
        SolveAssignment(static_cast<int>(n), m_Cost, m_Assignment);

    std::vector<bool> keep(m_Slots.size(), false);
    for (size_t r = 0; r < nOld; ++r) {
        const auto c = static_cast<size_t>(m_Assignment[r]);
        const int nSlot = m_ActiveSlots[r];
        if (c < nNew && m_Cost[r * n + c] < m_dMaxJump) {
            m_Result[c] = nSlot;
            keep[static_cast<size_t>(nSlot)] = true;
        }
    }
    for (int nSlot : m_ActiveSlots) {
        if (!keep[static_cast<size_t>(nSlot)]) {
            m_Slots[static_cast<size_t>(nSlot)].bActive = false;
            m_Slots[static_cast<size_t>(nSlot)].nTrackingId = -1;
        }
    }
    // New contacts take the lowest free slots; the ids wrap within the 16 bits
    // evdev readers keep.
    size_t nFree = 0;
    for (size_t c = 0; c < nNew; ++c) {
        if (m_Result[c] < 0) {
            while (nFree < m_Slots.size() && m_Slots[nFree].bActive)
                ++nFree;
            if (nFree == m_Slots.size())
                continue;
            m_Slots[nFree].bActive = true;
            m_Slots[nFree].nTrackingId = m_nNextTrackingId;
            m_nNextTrackingId = (m_nNextTrackingId + 1) & 0xFFFF;
            m_Result[c] = static_cast<int>(nFree);
        }
        m_Slots[static_cast<size_t>(m_Result[c])].position = points[c];
    }
    return m_Result;
}

void SolveAssignment(int n, std::span<const double> cost, std::vector<int>& rowToColumn)
{
    // Potentials u (rows) and v (columns), 1-based with column 0 as the free
    // start; p[j] is the row matched to column j.
    const double dInf = std::numeric_limits<double>::infinity();
    std::vector<double> u(n + 1, 0), v(n + 1, 0), minv(n + 1);
    std::vector<int> p(n + 1, 0), way(n + 1, 0);
    std::vector<char> used(n + 1);
    for (int i = 1; i <= n; ++i) {
        p[0] = i;
        int j0 = 0;
        std::fill(minv.begin(), minv.end(), dInf);
        std::fill(used.begin(), used.end(), 0);
        do {
            used[j0] = 1;
            const int i0 = p[j0];
            double delta = dInf;
            int j1 = 0;
            for (int j = 1; j <= n; ++j) {
                if (used[j])
                    continue;
                const double cur = cost[(i0 - 1) * n + (j - 1)] - u[i0] - v[j];
                if (cur < minv[j]) {
                    minv[j] = cur;
                    way[j] = j0;
                }
                if (minv[j] < delta) {
                    delta = minv[j];
                    j1 = j;
                }
            }
            for (int j = 0; j <= n; ++j) {
                if (used[j]) {
                    u[p[j]] += delta;
                    v[j] -= delta;
                } else {
                    minv[j] -= delta;
                }
            }
            j0 = j1;
        } while (p[j0] != 0);
        do {
            const int j1 = way[j0];
            p[j0] = p[j1];
            j0 = j1;
        } while (j0 != 0);
    }
    rowToColumn.assign(n, -1);
    for (int j = 1; j <= n; ++j) {
        if (p[j] > 0)
            rowToColumn[p[j] - 1] = j - 1;
    }
}

} // namespace kyrtouch
