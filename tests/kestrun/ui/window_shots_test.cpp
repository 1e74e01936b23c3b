#include "kestrun/core/tray.h"
#include "kestrun/ui/window_shots.h"
#include "platform/dialog_template.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_support.h"

#include <QImage>

#include <gtest/gtest.h>

namespace kestrun::test {
namespace {

TEST(WindowShotsTest, PicturesAtTemplateSize) {
    qtApp();
    TempDir dir;
    ASSERT_TRUE(saveNoticeWindowShots(dir.path(), kestrunIcon()));
    struct Shot {
        const char* file;
        int width, height; // dialog units
    };
    for (const Shot& shot : {Shot{"promt_dlg.png", 212, 138}, Shot{"about_dlg.png", 206, 126}}) {
        SCOPED_TRACE(shot.file);
        const QImage image(QString::fromStdString((dir / shot.file).string()));
        EXPECT_EQ(image.width(), dialogUnitsToPixelsX(shot.width));
        EXPECT_EQ(image.height(), dialogUnitsToPixelsY(shot.height));
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "about_dlg.unused.conf"));
}

} // namespace
} // namespace kestrun::test
