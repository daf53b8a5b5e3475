#include "app/MainThreadPresenter.h"

#include <QCoreApplication>
#include <QObject>
#include <atomic>
#include <mutex>
#include <strings.h>
#include <vector>

// The queue into the main thread. Once the wrapper is gone the context is
// cleared, so a window still held by a worker posts nothing more.
struct MainThreadPresenter::Channel {
    explicit Channel(StatusPresenter& p) : presenter(p) { }

    void post(std::function<void(StatusPresenter&)> fn)
    {
        std::lock_guard lock(mutex);
        if (!context)
            return;
        // Calls wait in order and the main thread takes all that are waiting
        // at once: a burst of updates wakes it once, not once per update.
        pending.push_back(std::move(fn));
        if (drainQueued)
            return;
        drainQueued = true;
        // Queued even on the main thread, so the order of calls is kept.
        QMetaObject::invokeMethod(
            context, [this] { drain(); }, Qt::QueuedConnection);
    }

    // Main thread; the context, and with it this call, goes before the channel does.
    void drain()
    {
        std::vector<std::function<void(StatusPresenter&)>> calls;
        {
            std::lock_guard lock(mutex);
            calls.swap(pending);
            drainQueued = false;
        }
        presenter.beginBurst();
        for (auto& fn : calls)
            fn(presenter);
        presenter.endBurst();
    }

    StatusPresenter& presenter;
    std::mutex mutex;
    QObject* context = nullptr; // lives on the main thread; deleted with the wrapper
    std::vector<std::function<void(StatusPresenter&)>> pending;
    bool drainQueued = false;
    std::atomic<int> lastWindow{0};
};

namespace {

bool isYes(const std::string& text) { return strcasecmp(text.c_str(), "YES") == 0; }

class QueuedMaintenanceWindow : public MaintenanceWindow {
public:
    QueuedMaintenanceWindow(std::shared_ptr<MainThreadPresenter::Channel> channel, int number)
        : fChannel(std::move(channel)), fNumber(number)
    {
        fChannel->post([n = fNumber](StatusPresenter& p) { p.openMaintenanceWindow(n); });
    }
    ~QueuedMaintenanceWindow() override { close(); } // a task that ends early leaves no window behind

    void ibSetWindowTitle(const std::string& title) override
    {
        send([title](StatusPresenter& p, int n) { p.setMaintenanceWindowTitle(n, title); });
    }
    void ibUpdateLine1TextField(const std::string& text) override
    {
        send([text](StatusPresenter& p, int n) { p.updateMaintenanceLine1(n, text); });
    }
    void ibUpdateLine2TextField(const std::string& text) override
    {
        send([text](StatusPresenter& p, int n) { p.updateMaintenanceLine2(n, text); });
    }
    void ibUpdateProgressBar(const std::string& yesOrNo) override
    {
        send([running = isYes(yesOrNo)](StatusPresenter& p, int n) { p.updateMaintenanceProgressBar(n, running); });
    }
    void close() override
    {
        if (fClosed.exchange(true))
            return;
        fChannel->post([n = fNumber](StatusPresenter& p) { p.closeMaintenanceWindow(n); });
    }

private:
    template <typename F> void send(F&& fn)
    {
        if (fClosed.load())
            return;
        fChannel->post([n = fNumber, fn = std::forward<F>(fn)](StatusPresenter& p) { fn(p, n); });
    }

    std::shared_ptr<MainThreadPresenter::Channel> fChannel;
    const int fNumber;
    std::atomic<bool> fClosed{false};
};

} // namespace

MainThreadPresenter::MainThreadPresenter(StatusPresenter& presenter) : fChannel(std::make_shared<Channel>(presenter))
{
    fChannel->context = new QObject;
    if (auto* app = QCoreApplication::instance())
        fChannel->context->moveToThread(app->thread());
}

MainThreadPresenter::~MainThreadPresenter()
{
    QObject* context = nullptr;
    {
        std::lock_guard lock(fChannel->mutex);
        std::swap(context, fChannel->context);
    }
    delete context; // with it go the calls still queued
}

void MainThreadPresenter::perform(std::function<void(StatusPresenter&)> fn) { fChannel->post(std::move(fn)); }

void MainThreadPresenter::ibUpdateTextField(StatusPresenter::Field field, const std::string& text, bool isError)
{
    if (isError && fErrorObserver)
        fErrorObserver(text);
    perform([field, text, isError](StatusPresenter& p) {
        if (p.isStatusWindowVisible())
            p.updateTextField(field, text, isError);
    });
}

void MainThreadPresenter::ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError)
{
    ibUpdateTextField(StatusPresenter::Field::ProcessLine, text, isError);
}

void MainThreadPresenter::ibUpdateUploadStatusTextField(const std::string& text)
{
    ibUpdateTextField(StatusPresenter::Field::UploadStatus, text);
}

void MainThreadPresenter::ibUpdateFileNameField(const std::string& text)
{
    ibUpdateTextField(StatusPresenter::Field::FileName, text);
}

void MainThreadPresenter::ibUpdateProgressBar(const std::string& yesOrNo)
{
    perform([running = isYes(yesOrNo)](StatusPresenter& p) { p.updateProgressBar(running); });
}

void MainThreadPresenter::setPauseResumeButton(const std::optional<std::string>& title, std::optional<bool> enabled)
{
    perform([title, enabled](StatusPresenter& p) {
        if (title)
            p.setPauseResumeButtonTitle(*title);
        if (enabled)
            p.setPauseResumeButtonEnabled(*enabled);
    });
}

void MainThreadPresenter::beep()
{
    perform([](StatusPresenter& p) { p.beep(); });
}

void MainThreadPresenter::showPreview(const std::string& photoPath)
{
    perform([photoPath](StatusPresenter& p) { p.showPreview(photoPath); });
}

void MainThreadPresenter::showFiled(const std::string& photo, const std::string& destination, const std::string& why,
                                    bool toMirror)
{
    perform([=](StatusPresenter& p) { p.showFiled(photo, destination, why, toMirror); });
}

void MainThreadPresenter::showUploadProgress(const std::string& photo, int64_t sent, int64_t total,
                                             double bytesPerSecond)
{
    perform([=](StatusPresenter& p) { p.showUploadProgress(photo, sent, total, bytesPerSecond); });
}

std::unique_ptr<MaintenanceWindow> MainThreadPresenter::openMaintenanceWindow()
{
    return std::make_unique<QueuedMaintenanceWindow>(fChannel, fChannel->lastWindow.fetch_add(1) + 1);
}
