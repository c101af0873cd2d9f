#pragma once

class ApplicationSettings;
class PrefsDlg;

// The preferences dialog's value widgets and the settings they edit, in one
// table: shown when the main window is built, taken back when the dialog
// closes and at exit. The listener ports are shown but not taken back: the
// listeners' restarts take them, comparing them with the settings.
void showSettingsInPrefs(const ApplicationSettings& settings, PrefsDlg& prefs);
void takeSettingsFromPrefs(const PrefsDlg& prefs, ApplicationSettings& settings);
