// The event bus: order, waking a waiter, bounded memory, shutdown.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "relayd/record/events.h"

namespace {

using relayd::CEventBus;

TEST(RelaydEventsTest, EventsAfterASequenceNumberInOrder) {
    CEventBus oBus;
    EXPECT_EQ(0u, oBus.LastSeq());
    oBus.Publish(CEventBus::EK_MESSAGE, 10, relayd::MS_QUEUED);
    oBus.Publish(CEventBus::EK_STATUS, 10, relayd::MS_DELIVERED);
    oBus.Publish(CEventBus::EK_MESSAGE, 11, relayd::MS_CAPTURED);
    EXPECT_EQ(3u, oBus.LastSeq());

    const struct {
        uint64_t ddwAfter;
        std::vector<int64_t> vecIds;
    } kRows[] = {
        {0, {10, 10, 11}},
        {1, {10, 11}},
        {2, {11}},
        {3, {}},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        std::vector<CEventBus::SEvent> vecEvents;
        oBus.WaitAfter(kRows[i].ddwAfter, 0, vecEvents);
        std::vector<int64_t> vecIds;
        for (size_t j = 0; j < vecEvents.size(); ++j) {
            vecIds.push_back(vecEvents[j].m_llId);
            EXPECT_EQ(kRows[i].ddwAfter + j + 1, vecEvents[j].m_ddwSeq) << "row " << i;
        }
        EXPECT_EQ(kRows[i].vecIds, vecIds) << "row " << i << ", after " << kRows[i].ddwAfter;
    }
    std::vector<CEventBus::SEvent> vecEvents;
    oBus.WaitAfter(1, 0, vecEvents);
    EXPECT_EQ(CEventBus::EK_STATUS, vecEvents[0].m_eKind);
    EXPECT_EQ(relayd::MS_DELIVERED, vecEvents[0].m_eStatus);
}

TEST(RelaydEventsTest, WaiterWakesOnPublish) {
    CEventBus oBus;
    std::thread oPublisher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        oBus.Publish(CEventBus::EK_MESSAGE, 7, relayd::MS_QUEUED);
    });
    std::vector<CEventBus::SEvent> vecEvents;
    oBus.WaitAfter(0, 20000, vecEvents);  // bounded; the publish ends it long before
    oPublisher.join();
    ASSERT_EQ(1u, vecEvents.size());
    EXPECT_EQ(7, vecEvents[0].m_llId);
}

TEST(RelaydEventsTest, TimeoutGivesNothing) {
    CEventBus oBus;
    oBus.Publish(CEventBus::EK_MESSAGE, 1, relayd::MS_QUEUED);
    std::vector<CEventBus::SEvent> vecEvents;
    EXPECT_TRUE(oBus.WaitAfter(1, 20, vecEvents));  // open: the time ran out
    EXPECT_TRUE(vecEvents.empty());
}

TEST(RelaydEventsTest, SlowListenerLosesOnlyTheOldestEvents) {
    CEventBus oBus;
    const int64_t llCount = 5000;
    for (int64_t i = 1; i <= llCount; ++i) {
        oBus.Publish(CEventBus::EK_MESSAGE, i, relayd::MS_QUEUED);
    }
    std::vector<CEventBus::SEvent> vecEvents;
    oBus.WaitAfter(0, 0, vecEvents);
    ASSERT_FALSE(vecEvents.empty());
    EXPECT_LT(vecEvents.size(), static_cast<size_t>(llCount));
    EXPECT_EQ(llCount, vecEvents.back().m_llId);
    for (size_t i = 1; i < vecEvents.size(); ++i) {
        ASSERT_EQ(vecEvents[i - 1].m_ddwSeq + 1, vecEvents[i].m_ddwSeq) << "index " << i;
    }
    oBus.WaitAfter(static_cast<uint64_t>(llCount - 2), 0, vecEvents);
    ASSERT_EQ(2u, vecEvents.size());
    EXPECT_EQ(llCount - 1, vecEvents[0].m_llId);
}

TEST(RelaydEventsTest, CloseWakesEveryWaiterForGood) {
    CEventBus oBus;
    std::vector<std::thread> vecWaiters;
    std::atomic<int> nWoken{0};
    for (int i = 0; i < 3; ++i) {
        vecWaiters.emplace_back([&] {
            std::vector<CEventBus::SEvent> vecEvents;
            if (!oBus.WaitAfter(0, 20000, vecEvents) && vecEvents.empty()) {
                ++nWoken;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    oBus.Close();
    for (std::thread& oWaiter : vecWaiters) {
        oWaiter.join();
    }
    EXPECT_EQ(3, nWoken.load());
    oBus.Publish(CEventBus::EK_MESSAGE, 1, relayd::MS_QUEUED);
    std::vector<CEventBus::SEvent> vecEvents;
    EXPECT_FALSE(oBus.WaitAfter(0, 20000, vecEvents));  // returns at once, empty
    EXPECT_TRUE(vecEvents.empty());
}

}  // namespace
