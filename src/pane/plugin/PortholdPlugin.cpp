// The Porthold panel bundle's plug-in entry point: the host loads this
// library and asks it for the panel.

#include "model/PHServerConfigCache.h"
#include "pane/PortholdPref.h"
#include "platform/PHPanelPlugin.h"

#include <QObject>

class PortholdPlugin : public QObject, public PHPanelPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID PHPanelPlugin_iid)
    Q_INTERFACES(PHPanelPlugin)
public:
    std::unique_ptr<PHPreferencePane> createPane(const QString &bundlePath) override {
        // Every start asks the server program and Debian's envvars about
        // themselves (a process or two each): their answers are kept
        // between starts while what they came from is unchanged.
        PHServerConfigCache::setEnabled(true);
        return std::make_unique<PortholdPref>(bundlePath);
    }
};

#include "PortholdPlugin.moc"
