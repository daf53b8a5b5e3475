#pragma once

// The names of the upload chain's notifications. Each name is posted on the
// default notification centre and delivered on the posting thread.
inline constexpr const char* cNotification_ScanFolder = "ScanFolderNotification";
inline constexpr const char* cNotification_PrepareUploadStart = "PrepareUploadStartNotification";
inline constexpr const char* cNotification_UploadStart = "UploadStartNotification";
inline constexpr const char* cNotification_UploadDone = "UploadDoneNotification";
inline constexpr const char* cNotification_UploadSuccess = "UploadSuccessNotification";
inline constexpr const char* cNotification_UploadFail = "UploadFailNotification";
inline constexpr const char* cNotification_CleanUpAfterUpload = "CleanUpAfterUploadNotification";
inline constexpr const char* cNotification_CleanUpAfterCompleteLoop = "CleanUpAfterCompleteLoop";
inline constexpr const char* cNotification_WatcherStarted = "WatcherStarted";
inline constexpr const char* cNotification_WatcherItemChanged = "WatcherItemChanged";
inline constexpr const char* cNotification_UploadProcessPaused = "UploadProcessPaused";
