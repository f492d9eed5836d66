#include "writer/PictureFit.h"

#include <gtest/gtest.h>

using namespace trimwell;

static void expectTransform(const AffineTransform& t, AffineTransform want) {
    EXPECT_DOUBLE_EQ(t.a, want.a);
    EXPECT_DOUBLE_EQ(t.b, want.b);
    EXPECT_DOUBLE_EQ(t.c, want.c);
    EXPECT_DOUBLE_EQ(t.d, want.d);
    EXPECT_DOUBLE_EQ(t.tx, want.tx);
    EXPECT_DOUBLE_EQ(t.ty, want.ty);
}

TEST(PictureFit, WorkedResults) {
    const struct {
        Size natural;
        AffineTransform preferred;
        Size size;
        AffineTransform transform;
    } cases[] = {
        {{1919, 1080}, {}, {1918, 1080}, {1918.0 / 1919, 0, 0, 1, 0, 0}},
        {{1920, 1080}, {0, 1, -1, 0, 0, 0}, {1080, 1920}, {0, 1, -1, 0, 1080, 0}},
        {{1920, 1080}, {0, 1, -1, 0, 1080, 0}, {1080, 1920}, {0, 1, -1, 0, 1080, 0}},
        {{1920, 1080}, {-1, 0, 0, -1, 0, 0}, {1920, 1080}, {-1, 0, 0, -1, 1920, 1080}},
        {{1920, 1080}, {0, -1, 1, 0, 0, 0}, {1080, 1920}, {0, -1, 1, 0, 0, 1920}},
        {{1920, 1080}, {-1, 0, 0, 1, 0, 0}, {1920, 1080}, {-1, 0, 0, 1, 1920, 0}},
        {{1280, 1081}, {}, {1280, 1080}, {1, 0, 0, 1080.0 / 1081, 0, 0}},
        // Tiny pictures are never enlarged past the two-pixel floor.
        {{0, 0}, {}, {2, 2}, {1, 0, 0, 1, 0, 0}},
        {{1, 1}, {}, {2, 2}, {1, 0, 0, 1, 0, 0}},
        {{3, 3}, {}, {2, 2}, {2.0 / 3, 0, 0, 2.0 / 3, 0, 0}},
        {{2.5, 4}, {}, {2, 4}, {0.8, 0, 0, 1, 0, 0}},
        {{1919.5, 1080}, {}, {1920, 1080}, {1920 / 1919.5, 0, 0, 1, 0, 0}},
        // Any translation the preferred transform carries is replaced.
        {{640, 480}, {1, 0, 0, 1, 33, -7}, {640, 480}, {1, 0, 0, 1, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.natural.width << "x" << c.natural.height);
        const PictureFit fit = uprightEven(c.natural, c.preferred);
        EXPECT_EQ(fit.size, c.size);
        expectTransform(fit.transform, c.transform);
    }
}

TEST(PictureFit, CarriesTheNaturalFrameOntoTheOutputFrameExactly) {
    // Every orientation with a scale: the picture's corners land on the output's corners.
    const AffineTransform orientations[] = {
        {1, 0, 0, 1, 0, 0},  {0, 1, -1, 0, 0, 0},  {-1, 0, 0, -1, 0, 0},
        {0, -1, 1, 0, 0, 0}, {-1, 0, 0, 1, 0, 0},  {0, 1, 1, 0, 0, 0},
        {1, 0, 0, -1, 0, 0}, {0, -1, -1, 0, 0, 0}, {0.5, 0, 0, 0.5, 9, 9},
    };
    for (const auto& o : orientations) {
        const PictureFit fit = uprightEven({1001, 601}, o);
        const Rect box = fit.transform.apply({0, 0, 1001, 601});
        EXPECT_NEAR(box.x, 0, 1e-9);
        EXPECT_NEAR(box.y, 0, 1e-9);
        EXPECT_NEAR(box.width, fit.size.width, 1e-9);
        EXPECT_NEAR(box.height, fit.size.height, 1e-9);
        EXPECT_EQ(static_cast<long>(fit.size.width) % 2, 0);
        EXPECT_EQ(static_cast<long>(fit.size.height) % 2, 0);
    }
}
