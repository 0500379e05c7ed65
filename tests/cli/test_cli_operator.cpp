// How vqmp-cli answers the operator's boxes: OK boxes are printed and answered; a
// question is answered "yes" only with --yes, otherwise "no", printed and kept so that the
// command fails; an input box is never answered.
#include "cli/CliOperator.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vq::cli {
namespace {

TEST(CliOperator, QuestionsAreAnsweredYesOnlyWithTheYesOption) {
    struct Row {
        MessageButtons buttons;
        bool yes;
        MessageAnswer answer;
        bool kept;
    };
    const Row rows[] = {
        {MessageButtons::Ok, false, MessageAnswer::Ok, false},
        {MessageButtons::Ok, true, MessageAnswer::Ok, false},
        {MessageButtons::YesNo, true, MessageAnswer::Yes, false},
        {MessageButtons::YesNo, false, MessageAnswer::No, true},
        {MessageButtons::YesNoCancel, false, MessageAnswer::No, true},
        {MessageButtons::OkCancel, true, MessageAnswer::Ok, false},
        {MessageButtons::OkCancel, false, MessageAnswer::Cancel, true},
    };
    for (const Row& row : rows) {
        std::ostringstream out;
        CliOperator op(row.yes, false, out);
        const MessageAnswer a =
            op.showMessage({"Overwrite it?", "Warning", MessageIcon::Warning, row.buttons});
        SCOPED_TRACE(static_cast<int>(row.buttons) * 10 + row.yes);
        EXPECT_EQ(a, row.answer);
        EXPECT_EQ(out.str(), "Warning: Overwrite it?\n");
        EXPECT_EQ(op.unanswered(), row.kept ? std::vector<std::string>{"Overwrite it?"}
                                            : std::vector<std::string>{});
    }
}

TEST(CliOperator, QuietKeepsOkBoxesUnprintedButStillPrintsQuestionsAndInputBoxes) {
    std::ostringstream out;
    CliOperator op(true, true, out);
    op.showMessage({"Done", "Message", MessageIcon::None, MessageButtons::Ok});
    op.showMessage({"Go on?", "Warning", MessageIcon::Question, MessageButtons::YesNo});
    EXPECT_EQ(op.inputBox({"Password", "Enter the password", "", true}), std::nullopt);
    EXPECT_EQ(out.str(), "Warning: Go on?\nPassword: Enter the password\n");
    EXPECT_EQ(op.messages().size(), 2u);
    EXPECT_EQ(op.unanswered(), std::vector<std::string>{"Enter the password"});
}

}  // namespace
}  // namespace vq::cli
