#include "prefsfields.h"

#include "applicationsettings.h"
#include "prefsdlg.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTabWidget>

#include <functional>

namespace {

// How each kind of value widget shows a value and gives it back.
struct WidgetValue
{
    static void show(QCheckBox* box, bool value) { box->setChecked(value); }
    static void show(QSpinBox* box, int value) { box->setValue(value); }
    static void show(QLineEdit* edit, const QString& value) { edit->setText(value); }
    static void show(QTabWidget* tabs, int value) { tabs->setCurrentIndex(value); }
    static bool shown(const QCheckBox* box) { return box->isChecked(); }
    static int shown(const QSpinBox* box) { return box->value(); }
    static QString shown(const QLineEdit* edit) { return edit->text(); }
    static int shown(const QTabWidget* tabs) { return tabs->currentIndex(); }
};

struct PrefsField
{
    std::function<void(PrefsDlg&, const ApplicationSettings&)> show;
    // Empty where the value is applied elsewhere.
    std::function<void(const PrefsDlg&, ApplicationSettings&)> take;
};

template <class Widget, class Value>
PrefsField field(Widget* Ui_PrefsDlg::*widget, Value (ApplicationSettings::*get)() const,
                 void (ApplicationSettings::*set)(Value) = nullptr)
{
    PrefsField f;
    f.show = [=](PrefsDlg& p, const ApplicationSettings& s) {
        WidgetValue::show(p.*widget, (s.*get)());
    };
    if (set)
        f.take = [=](const PrefsDlg& p, ApplicationSettings& s) {
            (s.*set)(WidgetValue::shown(p.*widget));
        };
    return f;
}

using S = ApplicationSettings;
using U = Ui_PrefsDlg;
const PrefsField prefsFields[] = {
    field(&U::startUpUpdChBox, &S::checkForUpdateAtStart, &S::setCheckForUpdateAtStart),
    field(&U::locationChBox, &S::locationServices, &S::setLocationServices),
    field(&U::checkBoxTracktorProActivate, &S::traktorListenerActive, &S::setTraktorListenerActive),
    field(&U::icecastPortSpBox, &S::icecastPort),
    field(&U::checkBoxSeratoActivate, &S::seratoListenerActive, &S::setSeratoListenerActive),
    field(&U::spinBoxSeratoDelay, &S::seratoDelay, &S::setSeratoDelay),
    field(&U::seratoSessionDirectory, &S::sessionDir, &S::setSessionDir),
    field(&U::seratoDatabasePath, &S::seratoDatabasePath, &S::setSeratoDatabasePath),
    field(&U::checkBoxMasterClip, &S::masterClip, &S::setMasterClip),
    field(&U::abeltonPortSpBox, &S::abletonPort),
    field(&U::activeTwitChBox, &S::activeTwitter, &S::setActiveTwitter),
    field(&U::checkBoxEnableArtistHashtag, &S::hashtagArtist, &S::setHashtagArtist),
    field(&U::checkBoxEnableTrackHashtag, &S::hashtagTrack, &S::setHashtagTrack),
    field(&U::startMessage, &S::startMessage, &S::setStartMessage),
    field(&U::startHashtag, &S::startHashtag, &S::setStartHashtag),
    field(&U::stopMessage, &S::stopMessage, &S::setStopMessage),
    field(&U::stopHashtag, &S::stopHashtag, &S::setStopHashtag),
    field(&U::playingMessage, &S::playingMessage, &S::setPlayingMessage),
    field(&U::prefsTabWgt, &S::prefTabIndex, &S::setPrefTabIndex),
};

} // namespace

void showSettingsInPrefs(const ApplicationSettings& settings, PrefsDlg& prefs)
{
    for (const PrefsField& field : prefsFields)
        field.show(prefs, settings);
}

void takeSettingsFromPrefs(const PrefsDlg& prefs, ApplicationSettings& settings)
{
    for (const PrefsField& field : prefsFields) {
        if (field.take)
            field.take(prefs, settings);
    }
}
