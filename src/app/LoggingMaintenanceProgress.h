#pragma once

#include "app/MaintenanceProgress.h"

// The headless maintenance window: every update becomes a "progress:" line
// naming the window's task.
class LoggingMaintenanceProgress : public MaintenanceProgress {
public:
    std::unique_ptr<MaintenanceWindow> openMaintenanceWindow() override;
};
