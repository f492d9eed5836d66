#include "writer/SaveControls.h"
#include "platform/media/PlatformError.h"

#include <gtest/gtest.h>
#include <thread>

using namespace trimwell;

TEST(Explain, WordsPlatformErrorsOnOneLine) {
    EXPECT_EQ(explain(std::nullopt), "The save stopped.");
    EXPECT_EQ(explain(PlatformError("Broken", "FFmpeg", -50)), "Broken (FFmpeg -50)");
    EXPECT_EQ(explain(PlatformError("Fine", "POSIX", 0)), "Fine (POSIX 0)");
    EXPECT_EQ(explain(PlatformError::fromErrno(ENOENT)), "No such file or directory (POSIX 2)");
}

TEST(ClipError, FixedTexts) {
    EXPECT_STREQ(ClipError::failed("").what(), "");
    EXPECT_EQ(ClipError::failed("x").description(), "x");
    EXPECT_EQ(ClipError::noPicture().description(), "That file has no picture.");
    EXPECT_EQ(ClipError::noLength().description(), "That movie has no length.");
    EXPECT_EQ(ClipError::sameFile().description(),
              "Choose a different file than the one you opened.");
    EXPECT_EQ(ClipError::cancelled().description(), "The save was cancelled.");
    EXPECT_EQ(ClipError::cancelled().kind(), ClipError::Kind::cancelled);
}

TEST(Boxes, StartEmptyAndCarryValuesAcrossThreads) {
    StopFlag flag;
    FractionBox box;
    EXPECT_FALSE(flag.isStopped());
    EXPECT_EQ(box.value(), 0);
    std::thread([&] {
        flag.requestStop();
        box.store(0.5);
    }).join();
    EXPECT_TRUE(flag.isStopped());
    EXPECT_EQ(box.value(), 0.5);
    EXPECT_EQ(Counter{}.value, 0);
}

TEST(StopFlag, AStopAndTheFilesPlacingExcludeEachOther) {
    // Whichever comes first wins, and the other is told so: a stop that was accepted always
    // ends the save cancelled, one that was refused always lets it end saved.
    for (const bool stopFirst : {true, false}) {
        SCOPED_TRACE(stopFirst ? "stop first" : "finishing first");
        StopFlag flag;
        const bool stopped = stopFirst ? flag.requestStop() : !flag.beginFinishing();
        const bool finishing = stopFirst ? flag.beginFinishing() : !flag.requestStop();
        EXPECT_EQ(stopped, stopFirst);
        EXPECT_EQ(finishing, !stopFirst);
        EXPECT_EQ(flag.isStopped(), stopFirst);
        EXPECT_EQ(flag.isFinishing(), !stopFirst);
    }
}
