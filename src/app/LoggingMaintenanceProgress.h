#pragma once

#include "app/MaintenanceProgress.h"

// The headless maintenance window: every step becomes a "progress:" line.
class LoggingMaintenanceProgress : public MaintenanceProgress {
public:
    std::unique_ptr<MaintenanceWindow> openMaintenanceWindow() override;
};
