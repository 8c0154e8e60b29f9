#include <gtest/gtest.h>

#include "loaders/loader_image.h"

using namespace qtx;

namespace {

TEST(Loaders, C166ImageHasTheTwoStageLayout) {
    const LoaderImage& img = kLoaderC166;
    ASSERT_EQ(img.size, 810u);
    EXPECT_EQ(img.loadAddress, 0xFA40u);
    EXPECT_EQ(img.data[0], 0x0D);  // jump over the length word
    EXPECT_EQ(img.data[1], 0x01);
    EXPECT_EQ(img.data[2] | img.data[3] << 8, 810);
}

}  // namespace
