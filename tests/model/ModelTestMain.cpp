// The model posts work to the main thread and runs timers there, so its tests need an
// application object and an event loop that the tests spin.
#include "FakePlayer.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// The model's plain constructor asks for the program's player; here it gets the fake.
std::unique_ptr<trimwell::Player> trimwell::makeDefaultPlayer() {
    return std::make_unique<trimwell::testing::FakePlayer>();
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
