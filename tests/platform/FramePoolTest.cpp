#include "platform/media/detail/AvPtr.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <tuple>

using namespace trimwell;

// A pooled picture must be laid out like av_frame_get_buffer's, since the scaler and the
// encoder read past a plane's width and height, and its memory must come back for reuse.
TEST(FramePool, LaysOutPicturesLikeFFmpegAndReusesTheirMemory) {
    FramePool pool;
    for (auto [format, width, height] :
         {std::tuple{AV_PIX_FMT_YUV420P, 330, 250}, std::tuple{AV_PIX_FMT_YUV420P, 1080, 1920},
          std::tuple{AV_PIX_FMT_BGRA, 97, 31}}) {
        FramePtr pooled = pool.get(format, width, height);
        ASSERT_TRUE(pooled);
        FramePtr plain = makeFrame();
        plain->format = format;
        plain->width = width;
        plain->height = height;
        ASSERT_EQ(av_frame_get_buffer(plain.get(), 0), 0);
        EXPECT_EQ(pooled->width, width);
        EXPECT_EQ(pooled->height, height);
        for (int p = 0; p < AV_NUM_DATA_POINTERS && plain->data[p]; ++p) {
            ASSERT_TRUE(pooled->data[p]) << "plane " << p;
            EXPECT_GE(pooled->linesize[p], plain->linesize[p]) << "plane " << p;
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pooled->data[p]) % 32, 0u) << "plane " << p;
        }
        // Every plane's full padded extent is writable (the sanitizers check the bounds).
        const int paddedRows = FFALIGN(height, 32);
        for (int p = 0; p < 3 && pooled->data[p]; ++p)
            std::memset(pooled->data[p], 0x5a,
                        static_cast<std::size_t>(pooled->linesize[p]) *
                            (p == 0 ? paddedRows : paddedRows / 2));

        std::uint8_t* memory = pooled->buf[0]->data;
        pooled.reset();
        FramePtr again = pool.get(format, width, height);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->buf[0]->data, memory) << "a freed picture's memory is reused";
        FramePtr second = pool.get(format, width, height);
        ASSERT_TRUE(second);
        EXPECT_NE(second->buf[0]->data, again->buf[0]->data)
            << "a picture in use is never handed out";
    }
}

TEST(FramePool, PicturesOutliveTheirPoolAndItsSize) {
    FramePtr kept;
    FramePtr older;
    {
        FramePool pool;
        older = pool.get(AV_PIX_FMT_YUV420P, 32, 32);
        ASSERT_TRUE(older);
        kept = pool.get(AV_PIX_FMT_YUV420P, 64, 48); // moves on to another size
        ASSERT_TRUE(kept);
    }
    std::memset(older->data[0], 2, static_cast<std::size_t>(older->linesize[0]) * 32);
    std::memset(kept->data[0], 1, static_cast<std::size_t>(kept->linesize[0]) * 48);
    older.reset();
    kept.reset(); // the pool's memory goes with its last picture; the sanitizers check it
}

// The reader fills pooled pictures on its thread while the writer drops them on its own,
// as a save does; the thread checker sees the memory change hands.
TEST(FramePool, PicturesDroppedOnAnotherThreadComeBackWhole) {
    FramePool pool;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<FramePtr> handed;
    bool done = false;
    std::thread writer([&] {
        for (int expected = 0;; ++expected) {
            std::unique_lock guard(lock);
            changed.wait(guard, [&] { return !handed.empty() || done; });
            if (handed.empty())
                return;
            FramePtr picture = std::move(handed.front());
            handed.pop_front();
            guard.unlock();
            changed.notify_all();
            EXPECT_EQ(picture->data[0][0], expected % 251)
                << "a picture was overwritten while in use";
        }
    });
    for (int i = 0; i < 300; ++i) {
        FramePtr picture = pool.get(AV_PIX_FMT_YUV420P, 64, 48);
        ASSERT_TRUE(picture);
        std::memset(picture->data[0], i % 251, static_cast<std::size_t>(picture->linesize[0]) * 48);
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return handed.size() < 3; });
        handed.push_back(std::move(picture));
        changed.notify_all();
    }
    {
        std::lock_guard guard(lock);
        done = true;
    }
    changed.notify_all();
    writer.join();
}
