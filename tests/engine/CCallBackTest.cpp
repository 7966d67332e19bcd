// The download progress sink: its reference counting and what reaches the window.

#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/CCallBack.h"
#include "platform/WindowMessages.h"
#include "tests/support/RecordingWindow.h"

namespace nimbrel {
namespace {

using test::RecordingWindow;

// The debug channel reads its switch once; it must be on before the first line is written.
const bool debugOutputOn = (::setenv("NIMBREL_DEBUG", "1", 1), true);

TEST(CCallBackTest, AddRefReturnsTheCountBeforeTheIncrementAndReleaseTheCountAfter) {
    CCallBack sink;
    EXPECT_EQ(sink.AddRef(), 1u);
    EXPECT_EQ(sink.referenceCount, 2);
    EXPECT_EQ(sink.AddRef(), 2u);
    EXPECT_EQ(sink.Release(), 2u);
    EXPECT_EQ(sink.Release(), 1u);
    EXPECT_EQ(sink.referenceCount, 1);
}

TEST(CCallBackTest, ReleaseToZeroDestroysAHeapSink) {
    auto* sink = new CCallBack;
    EXPECT_EQ(sink->Release(), 0u);  // a leak or a double free shows under the sanitizers
}

TEST(CCallBackTest, QueryInterfaceAnswersOnlyItsTwoInterfaces) {
    CCallBack sink;
    void* out = &sink;
    EXPECT_EQ(sink.QueryInterface(InterfaceId::Other, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(sink.referenceCount, 1);
    for (InterfaceId iid : {InterfaceId::IUnknown, InterfaceId::IBindStatusCallback}) {
        EXPECT_EQ(sink.QueryInterface(iid, &out), S_OK);
        EXPECT_EQ(out, &sink);
    }
    EXPECT_EQ(sink.referenceCount, 3);
}

TEST(CCallBackTest, UnusedSlotsAnswerNotImplemented) {
    CCallBack sink;
    for (HRESULT r : {sink.OnStartBinding(), sink.GetPriority(), sink.OnLowResource(), sink.OnStopBinding(),
                      sink.GetBindInfo(), sink.OnDataAvailable(), sink.OnObjectAvailable()})
        EXPECT_EQ(r, E_NOTIMPL);
}

TEST(CCallBackTest, ProgressIsAWholePercentagePostedOnlyWhenItChanges) {
    struct Step {
        unsigned long progress;
        unsigned long maximum;
    };
    const Step steps[] = {{0, 0},
                          {5, 0},
                          {1, 3},
                          {1, 3},
                          {2, 3},
                          {3, 3},
                          {3, 3},
                          {0, 4000000000ul},
                          {3999999999ul, 4000000000ul},
                          {4000000000ul, 4000000000ul}};
    RecordingWindow window;
    CCallBack sink(&window);
    sink.resetProgress();  // the downloader has just posted 0
    for (const Step& s : steps) EXPECT_EQ(sink.OnProgress(s.progress, s.maximum, 0, nullptr), S_OK);
    // A maximum of 0 posts nothing; 1/3 is 33, 2/3 is 66 (truncated); unsigned values past
    // 2^31 scale correctly.
    EXPECT_EQ(window.progress(), (std::vector<std::intptr_t>{33, 66, 100, 0, 99, 100}));
    for (const auto& m : window.messages()) EXPECT_EQ(m.lParam, 0);
}

TEST(CCallBackTest, EveryReportWithAMaximumWritesItsDebugLine) {
    ASSERT_TRUE(debugOutputOn);
    CCallBack sink;
    ::testing::internal::CaptureStderr();
    sink.OnProgress(0, 0, 0, nullptr);
    sink.OnProgress(1, 3, 0, nullptr);
    sink.OnProgress(1, 3, 0, nullptr);  // no new percentage, still a line
    sink.OnProgress(4096, 4096, 0, nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "1 / 3\n1 / 3\n4096 / 4096\n");
}

TEST(CCallBackTest, SinkWithoutWindowStillAnswers) {
    CCallBack sink(nullptr);
    EXPECT_EQ(sink.OnProgress(1, 2, 0, "status"), S_OK);
}

}  // namespace
}  // namespace nimbrel
