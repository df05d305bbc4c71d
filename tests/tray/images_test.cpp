// The pictures compiled into inktray: record layout, sizes, and that they
// show what they are for (target colours, transparent window icons, the two
// shadings of the tray icon).
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <string>

#include "tray_images.h"

namespace {

struct Rec {
    const char *name;
    const unsigned char *data;
    int size;
};

const Rec kRecords[] = {
    {"icon0", icon0, 20},
    {"icon1", icon1, 20},
    {"icon2", icon2, 20},
    {"icon3", icon3, 20},
    {"icon4", icon4, 20},
    {"icon5", icon5, 20},
    {"cali_black_icon", cali_black_icon, 16},
    {"cali_green_icon", cali_green_icon, 16},
    {"calibrate_start", calibrate_start, 32},
    {"condial", condial, 32},
};

std::uint32_t be32(const unsigned char *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

GdkPixbuf *load(const unsigned char *rec) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    return gdk_pixbuf_new_from_inline(-1, rec, FALSE, nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
}

// RGBA of one pixel.
std::uint32_t rgba(GdkPixbuf *pb, int x, int y) {
    const guchar *p = gdk_pixbuf_get_pixels(pb) + y * gdk_pixbuf_get_rowstride(pb) + x * 4;
    return be32(p);
}

// Mean brightness (0..765) of the pixels that are mostly opaque.
double brightness(GdkPixbuf *pb) {
    double sum = 0;
    int n = 0;
    for (int y = 0; y < gdk_pixbuf_get_height(pb); ++y)
        for (int x = 0; x < gdk_pixbuf_get_width(pb); ++x) {
            std::uint32_t c = rgba(pb, x, y);
            if ((c & 0xFF) < 128)
                continue;
            sum += (c >> 24) + ((c >> 16) & 0xFF) + ((c >> 8) & 0xFF);
            ++n;
        }
    return n ? sum / n : 0;
}

TEST(TrayImages, RecordsAreRawRgbaOfTheirSize) {
    for (const Rec &r : kRecords) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(r.data), 4), "GdkP");
        const std::uint32_t rowstride = static_cast<std::uint32_t>(r.size) * 4;
        EXPECT_EQ(be32(r.data + 4), 24 + rowstride * static_cast<std::uint32_t>(r.size));
        EXPECT_EQ(be32(r.data + 8), 0x01010002u);
        EXPECT_EQ(be32(r.data + 12), rowstride);
        EXPECT_EQ(be32(r.data + 16), static_cast<std::uint32_t>(r.size));
        EXPECT_EQ(be32(r.data + 20), static_cast<std::uint32_t>(r.size));
        GdkPixbuf *pb = load(r.data);
        ASSERT_NE(pb, nullptr);
        EXPECT_EQ(gdk_pixbuf_get_width(pb), r.size);
        EXPECT_EQ(gdk_pixbuf_get_height(pb), r.size);
        EXPECT_TRUE(gdk_pixbuf_get_has_alpha(pb));
        g_object_unref(pb);
    }
}

TEST(TrayImages, TargetsAreSoftDiscsOfTheirColours) {
    using Target = std::pair<const unsigned char *, unsigned>;
    for (auto [rec, colour] :
         {Target{cali_black_icon, 0x000000FFu}, {cali_green_icon, 0x00947EFFu}}) {
        GdkPixbuf *pb = load(rec);
        ASSERT_NE(pb, nullptr);
        // Solid in the middle, around the point (8, 8) where the disc is centred.
        for (int y = 5; y <= 10; ++y)
            for (int x = 6; x <= 9; ++x)
                EXPECT_EQ(rgba(pb, x, y), colour) << x << "," << y;
        // Transparent corners, and an edge that fades rather than cuts.
        EXPECT_EQ(rgba(pb, 0, 0) & 0xFF, 0u);
        EXPECT_EQ(rgba(pb, 15, 15) & 0xFF, 0u);
        std::uint32_t edge = rgba(pb, 2, 8) & 0xFF;
        EXPECT_GT(edge, 0u);
        EXPECT_LT(edge, 255u);
        g_object_unref(pb);
    }
}

TEST(TrayImages, WindowIconsAreTransparentAndTrayIconsDiffer) {
    for (const unsigned char *rec : {calibrate_start, condial}) {
        GdkPixbuf *pb = load(rec);
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                ASSERT_EQ(rgba(pb, x, y) & 0xFF, 0u);
        g_object_unref(pb);
    }
    GdkPixbuf *connected = load(icon0);
    GdkPixbuf *unconnected = load(icon1);
    EXPECT_GT(brightness(connected), brightness(unconnected) + 150);
    g_object_unref(connected);
    g_object_unref(unconnected);
}

}  // namespace
