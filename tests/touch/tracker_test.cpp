// The contact tracker: ids follow fingers, never more slots than contacts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <random>

#include "Tracker.h"

using kyrtouch::ContactTracker;
using kyrtouch::Point;

namespace {

// Tracking id of each point after the frame.
std::vector<int> Feed(ContactTracker& tracker, const std::vector<Point>& points)
{
    const std::vector<int> slots = tracker.Update(points);
    std::vector<int> ids;
    for (int nSlot : slots)
        ids.push_back(nSlot < 0 ? -1 : tracker.Slots()[static_cast<size_t>(nSlot)].nTrackingId);
    return ids;
}

// Random walks with noise, in random order each frame, fingers coming and
// going: wherever every two fingers stay farther apart than twice their
// largest observed step, each keeps its id.
TEST(Tracker, IdsFollowPathsFartherApartThanTheNoise)
{
    std::mt19937 random(20261207);
    constexpr double dStep = 15, dNoise = 4, dLimit = 2 * (dStep + 2 * dNoise);
    int nChecked = 0;
    for (int nRun = 0; nRun < 200; ++nRun) {
        ContactTracker tracker(10, 200);
        std::uniform_real_distribution<double> place(0, 4095), step(-dStep / std::sqrt(2), dStep / std::sqrt(2)),
            noise(-dNoise / std::sqrt(2), dNoise / std::sqrt(2));
        std::map<int, Point> truth;       // finger -> true position
        std::map<int, int> idOfFinger;    // after the previous frame
        int nNextFinger = 0;
        for (int nFrame = 0; nFrame < 60; ++nFrame) {
            // Now and then a finger lifts or lands.
            if (!truth.empty() && random() % 10 == 0)
                truth.erase(std::next(truth.begin(), static_cast<long>(random() % truth.size())));
            if (truth.size() < 10 && random() % 8 == 0)
                truth[nNextFinger++] = {place(random), place(random)};
            std::map<int, Point> previous = truth;
            for (auto& [nFinger, p] : truth)
                p = {std::clamp(p.x + step(random), 0.0, 4095.0), std::clamp(p.y + step(random), 0.0, 4095.0)};
            std::vector<int> order;
            for (const auto& entry : truth)
                order.push_back(entry.first);
            std::shuffle(order.begin(), order.end(), random);
            std::vector<Point> points;
            for (int nFinger : order)
                points.push_back({truth[nFinger].x + noise(random), truth[nFinger].y + noise(random)});
            const std::vector<int> ids = Feed(tracker, points);

            double dClosest = 1e9;
            for (const auto& [a, pa] : truth) {
                for (const auto& [b, pb] : truth) {
                    if (a < b)
                        dClosest = std::min({dClosest, std::hypot(pa.x - pb.x, pa.y - pb.y),
                                             std::hypot(previous[a].x - previous[b].x, previous[a].y - previous[b].y)});
                }
            }
            std::map<int, int> next;
            for (size_t i = 0; i < order.size(); ++i) {
                ASSERT_GE(ids[i], 0);
                next[order[i]] = ids[i];
                if (dClosest > dLimit && idOfFinger.count(order[i]) != 0 && previous.count(order[i]) != 0) {
                    EXPECT_EQ(ids[i], idOfFinger[order[i]]) << "run " << nRun << " frame " << nFrame;
                    ++nChecked;
                }
            }
            idOfFinger = next;
        }
    }
    EXPECT_GT(nChecked, 10000); // the property was put to the test, not skipped
}

struct PathCase {
    const char* pszName;
    std::vector<std::vector<Point>> frames;
    std::vector<std::vector<int>> ids; // expected tracking id per point, per frame
};

class TrackerPaths : public testing::TestWithParam<PathCase> {};

TEST_P(TrackerPaths, Ids)
{
    ContactTracker tracker(3, 100);
    for (size_t i = 0; i < GetParam().frames.size(); ++i)
        EXPECT_EQ(Feed(tracker, GetParam().frames[i]), GetParam().ids[i]) << "frame " << i;
}

// Two fingers passing each other, 60 units apart, in steps of 20, the points
// sorted by x as a device scanning from the left reports them.
PathCase Crossing()
{
    PathCase c{"Crossing", {}, {}};
    for (int i = 0; i <= 20; ++i) {
        const Point a{20.0 * i, 0}, b{400 - 20.0 * i, 60};
        c.frames.push_back(a.x <= b.x ? std::vector<Point>{a, b} : std::vector<Point>{b, a});
        c.ids.push_back(a.x <= b.x ? std::vector<int>{0, 1} : std::vector<int>{1, 0});
    }
    return c;
}

// Crossing fingers keep their ids (a matcher by order swaps them); a point
// beyond the jump limit is a new contact; a fourth finger finds no slot.
INSTANTIATE_TEST_SUITE_P(
    Cases, TrackerPaths,
    testing::Values(
        Crossing(),
        PathCase{"JumpBeyondLimit", {{{0, 0}}, {{90, 0}}, {{191, 0}}, {{191, 0}}}, {{0}, {0}, {1}, {1}}},
        PathCase{"LiftAndLandTakesANewId", {{{0, 0}}, {}, {{0, 0}}}, {{0}, {}, {1}}},
        PathCase{"SlotsBounded",
                 {{{0, 0}, {500, 0}, {1000, 0}, {1500, 0}}, {{1500, 0}, {1000, 0}}, {{1500, 0}, {1000, 0}}},
                 {{0, 1, 2, -1}, {3, 2}, {3, 2}}}),
    [](const testing::TestParamInfo<PathCase>& info) { return info.param.pszName; });

// Three fingers lifted one by one in every order: the others keep their ids
// and slots, and the lifted one's slot is the one that ends.
TEST(Tracker, LiftsInEveryOrder)
{
    std::vector<int> order = {0, 1, 2};
    do {
        ContactTracker tracker(3, 100);
        std::vector<Point> fingers = {{0, 0}, {500, 0}, {1000, 0}};
        const std::vector<int> firstSlots = tracker.Update(fingers);
        std::vector<int> remaining = {0, 1, 2};
        for (int nLift : order) {
            remaining.erase(std::find(remaining.begin(), remaining.end(), nLift));
            std::vector<Point> points;
            for (int n : remaining)
                points.push_back(fingers[static_cast<size_t>(n)]);
            const std::vector<int> slots = tracker.Update(points);
            for (size_t i = 0; i < remaining.size(); ++i)
                EXPECT_EQ(tracker.Slots()[static_cast<size_t>(slots[i])].nTrackingId, remaining[i]);
            EXPECT_FALSE(tracker.Slots()[static_cast<size_t>(firstSlots[static_cast<size_t>(nLift)])].bActive);
        }
    } while (std::next_permutation(order.begin(), order.end()));
}

// The assignment is the optimum: checked against every permutation.
TEST(Tracker, AssignmentIsOptimal)
{
    std::mt19937 random(7);
    for (int n = 1; n <= 6; ++n) {
        for (int nTry = 0; nTry < 50; ++nTry) {
            std::vector<double> cost(static_cast<size_t>(n * n));
            for (double& d : cost)
                d = static_cast<double>(random() % 1000);
            std::vector<int> result;
            kyrtouch::SolveAssignment(n, cost, result);
            std::vector<int> perm(static_cast<size_t>(n));
            std::iota(perm.begin(), perm.end(), 0);
            double dBest = 1e18, dFound = 0;
            do {
                double d = 0;
                for (int r = 0; r < n; ++r)
                    d += cost[static_cast<size_t>(r * n + perm[static_cast<size_t>(r)])];
                dBest = std::min(dBest, d);
            } while (std::next_permutation(perm.begin(), perm.end()));
            for (int r = 0; r < n; ++r)
                dFound += cost[static_cast<size_t>(r * n + result[static_cast<size_t>(r)])];
            EXPECT_EQ(dFound, dBest);
        }
    }
}

} // namespace
