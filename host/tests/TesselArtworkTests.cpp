// The pictures the host's interface names are in the built bundle's Resources and decode, each
// found by the name the interface uses.
#include "platform/appkit/NSImage.h"
#include "platform/foundation/NSBundle.h"

#include <gtest/gtest.h>

namespace {

TEST(TesselHostArtwork, EveryNamedPictureIsInTheBundleAndDecodes) {
    ns::NSBundle::setMainBundle(ns::NSBundle::bundleWithPath(TESSEL_HOST_APP));
    ASSERT_TRUE(ns::NSBundle::mainBundle());
    appkit::NSImage::forgetNamedImages();
    std::vector<std::string> names;
    for (const char* set : {"iphone", "ipad", "desktop", "laptop", "stylus_ipad"})
        for (const char* state : {"connected", "inactive", "unavailable"})
            names.push_back(std::string(set) + "_" + state);
    for (const char* name :
         {"TesselHost_StatusBar", "TSE_Error.tiff", "title-transparent-background", "tessel_icon"})
        names.emplace_back(name);
    ASSERT_EQ(names.size(), 19u);
    for (const auto& name : names) {
        auto image = appkit::NSImage::imageNamed(name);
        ASSERT_TRUE(image) << name;
        auto rep = std::dynamic_pointer_cast<appkit::NSBitmapImageRep>(image->bestRepresentationForDevice());
        ASSERT_TRUE(rep) << name;
        EXPECT_GE(rep->pixelsWide(), 16) << name;
        // Something is drawn: not every pixel is clear.
        size_t painted = 0;
        for (int64_t y = 0; y < rep->pixelsHigh(); ++y)
            for (int64_t x = 0; x < rep->pixelsWide(); ++x)
                painted += rep->bitmapData()[y * rep->bytesPerRow() + x * 4 + 3] != 0;
        EXPECT_GT(painted, 10u) << name;
    }
    // A state's colour tells the pictures of one set apart.
    EXPECT_NE(appkit::NSImage::imageNamed("ipad_connected")->TIFFRepresentation(),
              appkit::NSImage::imageNamed("ipad_inactive")->TIFFRepresentation());
    ns::NSBundle::setMainBundle(nullptr);
}

} // namespace
