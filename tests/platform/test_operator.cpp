#include "platform/Operator.h"

#include <gtest/gtest.h>

#include "platform/Diagnostics.h"

namespace vq {
namespace {

TEST(RecordingOperator, RecordsMessagesAndAnswersFromTheQueueThenWithTheFirstButton) {
    RecordingOperator op;
    op.queueAnswer(MessageAnswer::No);
    EXPECT_EQ(op.showMessage({"Erase?", "Warning", MessageIcon::Warning, MessageButtons::YesNo}),
              MessageAnswer::No);
    EXPECT_EQ(op.showMessage({"Again?", "Message", MessageIcon::Question, MessageButtons::YesNo}),
              MessageAnswer::Yes);
    EXPECT_EQ(op.showMessage({"Done", "Message"}), MessageAnswer::Ok);
    ASSERT_EQ(op.messages().size(), 3u);
    EXPECT_EQ(op.messages()[0].text, "Erase?");
    EXPECT_EQ(op.messages()[0].title, "Warning");

    op.queueInput(std::string("secret"));
    EXPECT_EQ(op.inputBox({"RD", "Password", "", true}), "secret");
    EXPECT_EQ(op.inputBox({"RD", "Password", "", true}), std::nullopt);
    EXPECT_TRUE(op.inputs()[0].masked);
}

TEST(CapturingDiagnostics, KeepsDebuggerOutputInOrder) {
    CapturingDiagnostics d;
    d.debugOutput("0.1 Device initial not ready!!");
    d.debugOutput("Format complete.\n");
    ASSERT_EQ(d.lines().size(), 2u);
    EXPECT_EQ(d.lines()[1], "Format complete.\n");
}

}  // namespace
}  // namespace vq
