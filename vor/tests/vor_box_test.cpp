// The thread-owned box's answers on its own thread: STEP2 ownership rules and fresh counts.
#include "vor_box.h"

#include <gtest/gtest.h>

#include "cu_sock_internal.h"
#include "vor_net_test_util.h"
#include "vor_sid.h"

namespace {

TEST(VorBox, FreshBoxCountsNothing) {
  vor_box* box = vor_box_new();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(vorx_box_IsValid(box));
  EXPECT_EQ(vor_box_GetNumSock(box), 0);
  EXPECT_EQ(vor_box_GetNumTimer(box), 0);
  EXPECT_EQ(vor_box_GetThisSockId(box), -1);
  EXPECT_EQ(vor_box_GetThisTimerId(box), -1);
  EXPECT_GT(vorx_box_GetThreadId(box), 0);
  vor_box_free(box);
  EXPECT_FALSE(vorx_box_IsValid(box));
  EXPECT_FALSE(vorx_box_IsValid(nullptr));
}

TEST(VorBox, Step2OwnershipOfTheClient) {
  vor_box* box = vor_box_new();
  uint16_t port = vor::test::free_port();
  cu_client* client = nullptr;
  int64_t sid = vor_box_NewTcpClient_STEP1("127.0.0.1", port, &client);
  ASSERT_GT(sid, 0);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(vor_box_NewTcpClient_STEP2(box, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr),
            0);
  EXPECT_EQ(vor_box_NewTcpClient_STEP2(box, client, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr),
            sid);
  EXPECT_TRUE(vor_box_IsSockExist(box, sid));
  vor_box_DeleteSock(box, sid);
  EXPECT_FALSE(vor::sid_current(sid));

  sid = vor_box_NewTcpClient_STEP1("127.0.0.1", port, &client);
  vor_box_free(box);  // now an invalid handle: the client stays the caller's
  EXPECT_EQ(vor_box_NewTcpClient_STEP2(box, client, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr),
            -1);
  EXPECT_TRUE(vor::sid_current(sid));
  EXPECT_EQ(vor_box_NewTcpClient_STEP2(nullptr, client, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr),
            0);  // a NULL box closes and frees it
  EXPECT_FALSE(vor::sid_current(sid));
}

TEST(VorBox, CallsOnAFreedBoxAnswerFailureValues) {
  vor_box* box = vor_box_new();
  vor_box_free(box);
  EXPECT_EQ(vor_box_NewTcpServer(box, "127.0.0.1", vor::test::free_port(), nullptr, nullptr), -1);
  EXPECT_EQ(vor_box_NewUdpClient(box, "127.0.0.1", 9999, nullptr, nullptr), -1);
  EXPECT_EQ(vor_box_TcpWrite(box, 1, "x", 1), -1);
  EXPECT_EQ(vor_box_UdpWrite(box, 1, "x", 1, "127.0.0.1", 9999), -1);
  EXPECT_FALSE(vorx_box_ImportSockId_ForRead(box, 1, [](void*) {}, nullptr));
  EXPECT_FALSE(vorx_box_ExportSockId(box, 1));
  EXPECT_FALSE(vor_box_IsTimerExist(box, 51200));
  EXPECT_EQ(vor_box_GetThisSockId(box), -1);
  vor_box_DeleteSock(box, 1);
  vor_box_BreakLoop(box);
  vorx_ThreadBox_destroy(box);
}

}  // namespace
