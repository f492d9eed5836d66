#include "window/ShopMark.h"

#include "PlayerTesting.h"

#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>

using namespace trimwell;
using namespace trimwell::testing;

TEST(ShopMark, DrawsTheBrandImageOnARoundedBlackPlate) {
    const QImage resource(":/VelmoraMark");
    ShopMark mark;
    ASSERT_FALSE(resource.isNull()) << "the resource did not link in";
    const int imageWidth =
        static_cast<int>(std::lround(52.0 * resource.width() / resource.height()));
    EXPECT_EQ(mark.sizeHint(), QSize(imageWidth + 10, 62));
    EXPECT_EQ(mark.size(), mark.sizeHint());
    EXPECT_EQ(mark.accessibleName(), "Velmora");

    QImage drawn(mark.size(), QImage::Format_ARGB32);
    drawn.fill(Qt::transparent);
    mark.render(&drawn, QPoint(), QRegion(), QWidget::DrawChildren);
    // The corners are cut round; the margin is opaque black all round.
    EXPECT_EQ(qAlpha(drawn.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(drawn.pixel(drawn.width() - 1, drawn.height() - 1)), 0);
    for (QPoint p : {QPoint(drawn.width() / 2, 1), QPoint(drawn.width() / 2, drawn.height() - 2),
                     QPoint(1, drawn.height() / 2), QPoint(drawn.width() - 2, drawn.height() / 2)})
        EXPECT_EQ(drawn.pixelColor(p), Qt::black) << p.x() << "," << p.y();
    // The image fills the plate inside the 5-pixel margin, from one side to the other.
    const QRect lit = litBounds(drawn);
    ASSERT_FALSE(lit.isNull());
    EXPECT_TRUE(QRect(5, 5, imageWidth, 52).contains(lit));
    EXPECT_GT(lit.width(), imageWidth * 0.9);
    EXPECT_GT(lit.height(), 52 * 0.8);
}
