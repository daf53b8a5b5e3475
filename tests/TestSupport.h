#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ConsoleLog.h"
#include "platform/UserDefaults.h"

namespace TestSupport {

// Runs the main thread's event loop until the predicate holds or the deadline
// passes; returns the predicate's last value.
inline bool waitFor(const std::function<bool()>& predicate,
                    std::chrono::milliseconds deadline = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= end)
            return predicate();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "quon-test-XXXXXX").string();
        fPath = ::mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(fPath, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return fPath; }
    std::string file(const std::string& relative) const { return fPath + "/" + relative; }

private:
    std::string fPath;
};

inline void createFileWithContents(const std::string& path, const std::string& contents)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

inline std::string readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Collects the console log's messages while it lives.
class LogCapture {
public:
    LogCapture()
    {
        ConsoleLog::setObserver([this](const std::string& line) {
            std::lock_guard lock(fMutex);
            fLines.push_back(line);
        });
    }
    ~LogCapture() { ConsoleLog::setObserver({}); }

    std::vector<std::string> lines() const
    {
        std::lock_guard lock(fMutex);
        return fLines;
    }
    // How many messages contain the text.
    size_t count(const std::string& text) const
    {
        std::lock_guard lock(fMutex);
        size_t n = 0;
        for (const auto& line : fLines)
            n += line.find(text) != std::string::npos;
        return n;
    }
    bool contains(const std::string& text) const { return count(text) > 0; }
    void clear()
    {
        std::lock_guard lock(fMutex);
        fLines.clear();
    }

private:
    mutable std::mutex fMutex;
    std::vector<std::string> fLines;
};

} // namespace TestSupport

// A test with a temporary folder of its own.
class SandboxedTest : public ::testing::Test {
protected:
    TestSupport::TempDir fSandbox;
};

// A sandboxed test whose settings store is a fresh file in the sandbox, with
// no factory defaults registered unless the test registers them.
class StoreSandboxTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        UserDefaults::standard().reset();
        UserDefaults::standard().open(storePath());
    }
    void TearDown() override { UserDefaults::standard().reset(); }
    std::string storePath() const { return fSandbox.file("config/defaults.plist"); }

    // A station ready to upload: its two folders made, an event and a login.
    void storeStation(const std::string& source, const std::string& mirror, const std::string& eventName = "Gala")
    {
        std::filesystem::create_directories(source);
        std::filesystem::create_directories(mirror);
        UserDefaults& store = UserDefaults::standard();
        store.setString("prefLocalSourceUploadFolder", source);
        store.setString("prefLocalMasterMirrorSiteFolder", mirror);
        store.setString("userEnteredEventName", eventName);
        store.setString("userLoginName", "kiosk7");
        store.setString("userLoginPassword", "pw");
    }
};
