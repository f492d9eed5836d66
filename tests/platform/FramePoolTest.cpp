#include "platform/media/AvPtr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <tuple>

using namespace trimwell;

// A pooled picture must be laid out like av_frame_get_buffer's, since the scaler and the
// encoder read past a plane's width and height, and its memory must come back for reuse.
TEST(FramePool, LaysOutPicturesLikeFFmpegAndReusesTheirMemory) {
    FramePool pool;
    for (auto [format, width, height] : {std::tuple{AV_PIX_FMT_YUV420P, 330, 250},
                                         std::tuple{AV_PIX_FMT_YUV420P, 1080, 1920},
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
                        static_cast<std::size_t>(pooled->linesize[p]) * (p == 0 ? paddedRows : paddedRows / 2));

        std::uint8_t* memory = pooled->buf[0]->data;
        pooled.reset();
        FramePtr again = pool.get(format, width, height);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->buf[0]->data, memory) << "a freed picture's memory is reused";
        FramePtr second = pool.get(format, width, height);
        ASSERT_TRUE(second);
        EXPECT_NE(second->buf[0]->data, again->buf[0]->data) << "a picture in use is never handed out";
    }
}

TEST(FramePool, PicturesOutliveTheirPool) {
    FramePtr kept;
    {
        FramePool pool;
        kept = pool.get(AV_PIX_FMT_YUV420P, 64, 48);
        ASSERT_TRUE(kept);
    }
    std::memset(kept->data[0], 1, static_cast<std::size_t>(kept->linesize[0]) * 48);
    kept.reset(); // the pool's memory goes with its last picture; the sanitizers check it
}
