#include "platform/ui/message_box.h"

#include <syslog.h>

#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/ui/recording_message_box.h"
#include "platform/ui/syslog_message_box.h"

namespace kavex::ui {
namespace {

TEST(MessageBoxTest, DefaultHandlerPrintsAndAnswersTheAffirmativeButton) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "Could not open the adapter. Error 2",
                        "Kavex OPC Server", MB_OK | MB_ICONERROR),
            IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "Stop the service?", "VeltoOPC",
                        MB_YESNO | MB_ICONQUESTION),
            IDYES);
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OKCANCEL), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Kavex OPC Server: Could not open the adapter. Error 2\n"
            "VeltoOPC: Stop the service?\n"
            ": \n");
}

TEST(MessageBoxTest, RecorderRecordsBoxesAndAnswersFromItsScript) {
  {
    RecordingMessageBoxHandler recorder;
    recorder.QueueAnswer(IDNO);
    recorder.QueueAnswer(IDCANCEL);
    EXPECT_EQ(MessageBoxA(nullptr, "Save changes?", "VeltoOPC", MB_YESNO),
              IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Continue?", "VeltoOPC", MB_OKCANCEL),
              IDCANCEL);
    // Script used up: default answers.
    EXPECT_EQ(MessageBoxA(nullptr, "Again?", "VeltoOPC", MB_YESNO), IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "Done", "VeltoOPC", MB_OK), IDOK);
    auto boxes = recorder.boxes();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[0].text, "Save changes?");
    EXPECT_EQ(boxes[0].caption, "VeltoOPC");
    EXPECT_EQ(boxes[0].type, MB_YESNO);
    EXPECT_EQ(boxes[3].text, "Done");
    recorder.Clear();
    EXPECT_EQ(recorder.count(), 0u);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([] {
        for (int i = 0; i < 50; ++i) MessageBoxA(nullptr, "x", "y", MB_OK);
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(recorder.count(), 200u);
  }
  // The recorder uninstalled itself: the default handler is back.
  testing::internal::CaptureStderr();
  MessageBoxA(nullptr, "after", "Kavex OPC Server", MB_OK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Kavex OPC Server: after\n");
}

TEST(MessageBoxTest, SyslogHandlerPicksThePriorityFromTheIcon) {
  EXPECT_EQ(SyslogMessageBoxHandler::PriorityFor(MB_OK | MB_ICONERROR),
            LOG_ERR);
  EXPECT_EQ(SyslogMessageBoxHandler::PriorityFor(MB_YESNO | MB_ICONWARNING),
            LOG_WARNING);
  EXPECT_EQ(SyslogMessageBoxHandler::PriorityFor(MB_ICONINFORMATION),
            LOG_NOTICE);
  EXPECT_EQ(SyslogMessageBoxHandler::PriorityFor(MB_ICONQUESTION), LOG_NOTICE);
  SyslogMessageBoxHandler handler;
  SetMessageBoxHandler(&handler);
  EXPECT_EQ(MessageBoxA(nullptr, "two\nlines", "Kavex OPC Server", MB_YESNO),
            IDYES);
  SetMessageBoxHandler(nullptr);
}

}  // namespace
}  // namespace kavex::ui
