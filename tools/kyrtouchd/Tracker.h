// Contact tracking: touch-point packets carry positions only, so each frame's
// points are matched to the previous frame's contacts to give every finger a
// stable slot and tracking id.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kyrtouch {

struct Point {
    double x = 0;
    double y = 0;
};

// Not thread-safe: one owner feeds it frame after frame (the bridge does so
// under its own lock).
class ContactTracker {
public:
    // nMaxContacts bounds the slots; a point farther than dMaxJump from every
    // contact of the previous frame starts a new contact.
    ContactTracker(int nMaxContacts, double dMaxJump);

    // Matches a frame's points to the contacts of the previous one, by the
    // assignment of least total distance. Returns, per point, its slot, or -1
    // for a point that found no free slot (more fingers than slots).
    const std::vector<int>& Update(std::span<const Point> points);

    struct Slot {
        bool bActive = false;
        int nTrackingId = -1;
        Point position;
    };
    const std::vector<Slot>& Slots() const { return m_Slots; }
    int MaxContacts() const { return static_cast<int>(m_Slots.size()); }
    // Ends every contact, as a lift of all fingers would.
    void Clear();

private:
    std::vector<Slot> m_Slots;
    double m_dMaxJump;
    int m_nNextTrackingId = 0;
    std::vector<int> m_Result;
    // Scratch of the assignment, kept to spare allocations per frame.
    std::vector<int> m_ActiveSlots;
    std::vector<double> m_Cost;
    std::vector<int> m_Assignment;
};

// Minimum-cost assignment of an n x n matrix (row-major): the column of each
// row. Hungarian method with potentials, O(n^3).
void SolveAssignment(int n, std::span<const double> cost, std::vector<int>& rowToColumn);

} // namespace kyrtouch
