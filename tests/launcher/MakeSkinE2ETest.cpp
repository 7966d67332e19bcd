// The skin pictures our tool draws must fit the way the launcher cuts them: a background as
// large as the window, and for every button a column of four state images, from row 1, one
// pixel apart, each state telling itself apart from the others.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"

#if defined(MAKE_SKIN_PATH) && defined(NIMBREL_HAVE_QT_GUI)
#include <QColor>
#include <QImage>

using nimbrel::test::TempGameFolder;

namespace {

int runMakeSkin(const std::string& folder) {
    TempGameFolder output;
    nimbrel::test::ChildProcess::Options options;
    options.outputFolder = output.path();
    return nimbrel::test::ChildProcess::run({MAKE_SKIN_PATH, folder}, options).exitCode;
}

// Mean colour of a rectangle, to tell the state images apart through JPEG noise.
QColor meanColour(const QImage& image, const QRect& r) {
    long red = 0, green = 0, blue = 0, n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            QRgb p = image.pixel(x, y);
            red += qRed(p), green += qGreen(p), blue += qBlue(p), ++n;
        }
    return QColor(int(red / n), int(green / n), int(blue / n));
}

int distance(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
}

}  // namespace

TEST(MakeSkin, PicturesFitTheWindowAndTheButtonStrips) {
    TempGameFolder folder;
    ASSERT_EQ(runMakeSkin(folder.path()), 0);

    QImage back(QString::fromStdString(folder.file("back.jpg")));
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(back.size(), QSize(600, 421));

    QImage buttons(QString::fromStdString(folder.file("button.jpg")));
    ASSERT_FALSE(buttons.isNull());
    struct Column {
        const char* button;
        int x, width, height;
    } columns[] = {
        {"Config", 1, 54, 51}, {"Start", 56, 116, 51}, {"HomePage", 173, 39, 11},
        {"Join", 213, 39, 11}, {"X", 254, 24, 11},
    };
    for (const auto& c : columns) {
        QRect states[4];
        for (int i = 0; i < 4; ++i) states[i] = QRect(c.x, 1 + i * (c.height + 1), c.width, c.height);
        EXPECT_TRUE(buttons.rect().contains(states[3])) << c.button;
        if (!buttons.rect().contains(states[3])) continue;
        // Normal, mouse-over, pressed and disabled must each look different.
        for (int i = 0; i < 4; ++i)
            for (int j = i + 1; j < 4; ++j)
                EXPECT_GT(distance(meanColour(buttons, states[i]), meanColour(buttons, states[j])), 12)
                    << c.button << " states " << i << " and " << j;
    }
}

TEST(MakeSkin, UnwritableFolderFailsWithAMessage) { EXPECT_EQ(runMakeSkin("/proc/no-such-folder/"), 1); }

// The demo runs it from a plain shell: without a runtime folder it must neither warn nor leave
// one behind in the temporary folder.
TEST(MakeSkin, WithoutRuntimeFolderStaysQuietAndLeavesNothing) {
    TempGameFolder output, temp;
    nimbrel::test::ChildProcess::Options options;
    options.outputFolder = output.path();
    options.unsetEnvironment = {"XDG_RUNTIME_DIR"};
    options.setEnvironment = {"TMPDIR=" + temp.path()};
    const nimbrel::test::ProcessOutput r =
        nimbrel::test::ChildProcess::run({MAKE_SKIN_PATH, output.makeFolder("skin")}, options);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
}

#endif
