#include <QApplication>
#include <QGenericPlugin>
#include <QTimer>
#include <QWidget>
#include <cstdio>

namespace {

// Closes the program's main window the first time it is shown, from the event loop, and then
// writes "window closer: main window closed" to the standard output.
class WindowCloser : public QObject
{
public:
    WindowCloser() { QCoreApplication::instance()->installEventFilter(this); }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Show || !watched->inherits("MainWindow"))
            return false;
        QCoreApplication::instance()->removeEventFilter(this);
        auto *window = static_cast<QWidget *>(watched);
        QTimer::singleShot(0, window, [window] {
            window->close();
            std::fputs("window closer: main window closed\n", stdout);
            std::fflush(stdout);
        });
        return false;
    }
};

} // namespace

// Loaded with QT_QPA_GENERIC_PLUGINS=windowcloser and QT_PLUGIN_PATH at the build's "plugins"
// folder; the application object creates the closer while it is built.
class WindowCloserPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "windowcloser.json")

public:
    QObject *create(const QString &key, const QString &) override
    {
        return key.compare(QLatin1String("windowcloser"), Qt::CaseInsensitive) == 0
                   ? new WindowCloser
                   : nullptr;
    }
};

#include "windowcloser.moc"
