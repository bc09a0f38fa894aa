#include "core/error.h"

#include <gtest/gtest.h>

#include <cerrno>

using vantrell_core::Error;

TEST(Error, DisplayTexts) {
    EXPECT_EQ(Error::not_zip().message(), "not a zip archive");
    EXPECT_EQ(Error::compound_file().message(),
              "compound file: a legacy .ppt or an encrypted package, not an ECMA-376 package");
    EXPECT_EQ(Error::no_powerpoint_stream().message(), "compound file holds no PowerPoint Document stream");
    EXPECT_EQ(Error::encrypted("x").message(), "encrypted: x");
    EXPECT_EQ(Error::zip("bad", 12).message(), "zip: bad at offset 12");
    EXPECT_EQ(Error::overlapping_entry("ppt/a.xml").message(), "zip: entry ppt/a.xml overlaps the data of an earlier entry");
    EXPECT_EQ(Error::unsupported("u").message(), "unsupported: u");
    EXPECT_EQ(Error::inflate("i").message(), "inflate: i");
    EXPECT_EQ(Error::xml("/ppt/slides/slide1.xml", 40, "unexpected end").message(),
              "xml in /ppt/slides/slide1.xml at byte 40: unexpected end");
    EXPECT_EQ(Error::missing_part("/a").message(), "missing part: /a");
    EXPECT_EQ(Error::missing_relationship("rId3", "/b").message(), "missing relationship rId3 in /b");
    EXPECT_EQ(Error::not_presentation().message(), "not a presentation package");
    EXPECT_EQ(Error::slide_not_found(4).message(), "slide 4 not found");
    EXPECT_EQ(Error::other("anything").message(), "anything");
}

TEST(Error, IoCarriesSystemTextAndNumber) {
    EXPECT_EQ(Error::io(ENOENT).message(), "io: No such file or directory (os error 2)");
    EXPECT_EQ(Error::io_text("file name contained an unexpected NUL byte").message(),
              "io: file name contained an unexpected NUL byte");
}
