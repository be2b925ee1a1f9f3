#include "core/roster.h"

#include <gtest/gtest.h>

using namespace dtu;

TEST(LogQueue, KeepsHundredNewestFirst) {
    LogQueue q;
    for (int i = 1; i <= 101; ++i) q.PostLog(QString::number(i));
    ASSERT_EQ(q.lines().size(), 100);
    EXPECT_EQ(q.lines().front(), "101");
    EXPECT_EQ(q.lines().back(), "2");
    q.clear();
    EXPECT_TRUE(q.lines().isEmpty());
}

TEST(RefreshQueue, UniqueIgnoringCaseInInsertionOrder) {
    RefreshQueue q;
    q.MarkForRefresh("00000000000000AB");
    q.MarkForRefresh("00000000000000ab");
    q.MarkForRefresh("0000000000000001");
    q.MarkForRefresh("00000000000000AB");
    EXPECT_EQ(q.ids(), (QStringList{"00000000000000AB", "0000000000000001"}));
    q.clear();
    q.MarkForRefresh("00000000000000ab");
    EXPECT_EQ(q.ids(), QStringList{"00000000000000ab"});
}

class FakePort;

TEST(DtuList, LookupsKeepWalkOrder) {
    DtuList l;
    l.append("A", "COM5");
    l.append("B", "COM5");
    l.append("A", "COM6"); // same ID twice stands beside the first
    l.append("C", "");
    EXPECT_EQ(l.positionsOfId("A"), (QList<int>{0, 2}));
    EXPECT_EQ(l.firstById("A"), &l.at(0));
    EXPECT_EQ(l.firstById("a"), nullptr); // exact comparison
    EXPECT_EQ(l.positionsOfPort("COM5"), (QList<int>{0, 1}));
    EXPECT_TRUE(l.positionsOfPort("com5").isEmpty());

    l.setPortName(2, "COM5");
    EXPECT_EQ(l.positionsOfPort("COM5"), (QList<int>{0, 1, 2}));
    EXPECT_TRUE(l.positionsOfPort("COM6").isEmpty());
    l.setPortName(0, "COM9");
    EXPECT_EQ(l.positionsOfPort("COM5"), (QList<int>{1, 2}));
}

TEST(DtuList, OwnerIsFirstOpenRecordHoldingThePort) {
    DtuList l;
    l.append("A", "COM5");
    l.append("B", "COM5");
    auto* p = reinterpret_cast<IVPort*>(0x1000);
    auto* q = reinterpret_cast<IVPort*>(0x2000);
    l.setPort(1, p, false);            // failed opening: not an owner
    EXPECT_EQ(l.ownerOf(p), nullptr);
    l.setPort(1, p, true);
    EXPECT_EQ(l.ownerOf(p), &l.at(1));
    l.setPort(0, p, true);
    EXPECT_EQ(l.ownerOf(p), &l.at(0)); // the upper record wins
    l.setPort(0, q, true);
    EXPECT_EQ(l.ownerOf(p), &l.at(1));
    EXPECT_EQ(l.ownerOf(q), &l.at(0));
    l.clear();
    EXPECT_EQ(l.count(), 0);
    EXPECT_EQ(l.ownerOf(q), nullptr);
}
