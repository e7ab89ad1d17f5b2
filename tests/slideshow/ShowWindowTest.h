#pragma once
// What the tests of a real show window share: the program folder with its
// settings (no stretching), and the show, closed and gone after each test.
#include <gtest/gtest.h>

#include <QPointer>

#include "slideshow/SlideShow.h"
#include "support/TestSupport.h"

class ShowWindowTest : public ::testing::Test {
protected:
    void SetUp() override { program.WriteSettings("[Main]\r\nStretch=0\r\n"); }
    void TearDown() override
    {
        if (show)
            show->close();
        WaitFor([&] { return show.isNull(); }, 10000);
    }

    ProgramFolder program;
    QPointer<SlideShow> show;
};
