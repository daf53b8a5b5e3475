#include <QCoreApplication>
#include <clocale>
#include <gtest/gtest.h>

// One application object for the whole run: tests that need the main thread's
// event loop run it with TestSupport::waitFor.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
