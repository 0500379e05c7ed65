#include <gtest/gtest.h>

#include <QApplication>

#include "ui/qt/TMainForm.h"

namespace vq::ui {
namespace {

TEST(TMainForm, OpensWithTheApplicationTitle) {
    int argc = 1;
    char name[] = "test_ui";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    TMainForm form;
    form.show();
    QApplication::processEvents();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.windowTitle().toStdString(), "VQ5742x Mass Production Tool");
    EXPECT_EQ(form.objectName().toStdString(), "MainForm");
}

}  // namespace
}  // namespace vq::ui
