#pragma once

// Every key of the settings store, declared once. The names are the stored
// names: preference files, remote commands and older stores depend on them.
namespace PrefKey {

inline constexpr const char* LocalSourceUploadFolder = "prefLocalSourceUploadFolder";
inline constexpr const char* LocalMasterMirrorSiteFolder = "prefLocalMasterMirrorSiteFolder";
inline constexpr const char* OrvHiResAlternatePath1 = "prefOrvHiResAlternatePath1";
inline constexpr const char* IsValidLocalSourceUploadFolder = "prefIsValidLocalSourceUploadFolder";
inline constexpr const char* IsValidLocalMasterMirrorSiteFolder = "prefIsValidLocalMasterMirrorSiteFolder";
inline constexpr const char* IsValidOrvHiResAlternatePath1 = "prefIsValidOrvHiResAlternatePath1";
inline constexpr const char* UserLoginName = "userLoginName";
inline constexpr const char* UserLoginPassword = "userLoginPassword";
inline constexpr const char* UserEnteredEventName = "userEnteredEventName";
inline constexpr const char* UseEventName = "prefUseEventName";
inline constexpr const char* CreateEncapsulatingFolder = "prefCreateEncapsulatingFolder";
inline constexpr const char* ShowPreviewWhenUploading = "prefShowPreviewWhenUploading";
inline constexpr const char* DeleteEmptyFtpFolders = "prefDeleteEmptyFtpFolders";
inline constexpr const char* AutoSynchronize = "prefAutoSynchronize";
inline constexpr const char* SecondsBetweenScans = "prefSecondsBetweenScans";
inline constexpr const char* DoUseDeleteOldPhotos = "prefDoUseDeleteOldPhotos";
inline constexpr const char* DaysOldBeforeDeleting = "prefDaysOldBeforeDeleting";
inline constexpr const char* ShowWindowAtStartup = "prefShowWindowAtStartup";
inline constexpr const char* AutoQuitAndRelaunchPerIteration = "prefAutoQuitAndRelaunchPerIteration";
inline constexpr const char* DeleteServerItemFirst = "prefDeleteServerItemFirst";
inline constexpr const char* AutoStartUploadAtStartup = "prefAutoStartUploadAtStartup";
inline constexpr const char* DoCopyOldFtpPref = "prefDoCopyOldFtpPref";
inline constexpr const char* UploadMovie = "prefUploadMovie";
inline constexpr const char* OrvFuseAction = "prefOrvFuseAction";
inline constexpr const char* OrvURL = "prefOrvURL";
inline constexpr const char* DoCheckOrders = "prefDoCheckOrders";
inline constexpr const char* MinutesForCheckOrders = "prefMinutesForCheckOrders";
inline constexpr const char* CheckHiResOrderFuseAction = "prefCheckHiResOrderFuseAction";
inline constexpr const char* UploadHiResOrderFuseAction = "prefUploadHiResOrderFuseAction";
inline constexpr const char* SearchPathMethodTag = "prefSearchPathMethodTag";
inline constexpr const char* AllowRootVolumeSelections = "prefAllowRootVolumeSelections";
inline constexpr const char* MetaData = "prefMetaData";
inline constexpr const char* FormBaseIdFromFileName = "prefFormBaseIdFromFileName";
inline constexpr const char* DaysToSaveLogs = "prefDaysToSaveLogs";
inline constexpr const char* UploadTimeOut = "prefUploadTimeOut";
inline constexpr const char* DoRedirectNSLog = "prefDoRedirectNSLog";
inline constexpr const char* DoContinueAfterFailedUpload = "prefDoContinueAfterFailedUpload";
inline constexpr const char* DoContinueAfterFailedUploadSecs = "prefDoContinueAfterFailedUploadSecs";

} // namespace PrefKey
