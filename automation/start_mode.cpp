#include "automation/start_mode.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <cstdio>

#include "automation/bus_names.h"

namespace qorvel {

namespace {

// The bus splits Exec like a shell: quote what a shell would not keep whole.
QString ShellQuoted(const QString& aText) {
  static const QString plain =
      QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@%");
  bool needed = aText.isEmpty();
  for (QChar c : aText) needed = needed || !plain.contains(c);
  if (!needed) return aText;
  QString quoted = aText;
  quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
  return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

}  // namespace

TStartMode StartModeFromArguments(const QStringList& aArguments) {
  for (qsizetype i = 1; i < aArguments.size(); ++i) {
    const QString& a = aArguments[i];
    if (a.size() < 2 || (a[0] != QLatin1Char('/') && a[0] != QLatin1Char('-'))) continue;
    const QString name = a.mid(1).toUpper();
    if (name == QLatin1String("REGSERVER")) return TStartMode::RegServer;
    if (name == QLatin1String("UNREGSERVER")) return TStartMode::UnregServer;
    if (name == QLatin1String("AUTOMATION") || name == QLatin1String("EMBEDDING")) {
      return TStartMode::Automation;
    }
  }
  return TStartMode::User;
}

QString ActivationFilePath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/dbus-1/services/") + QLatin1String(kBusServiceName) +
         QStringLiteral(".service");
}

QString ActivationFileText(const QString& aExecutable, const QStringList& aArguments) {
  QString command = ShellQuoted(aExecutable);
  for (const QString& a : aArguments) command += QLatin1Char(' ') + ShellQuoted(a);
  return QStringLiteral("[D-BUS Service]\nName=%1\nExec=%2 /AUTOMATION\n")
      .arg(QLatin1String(kBusServiceName), command);
}

QStringList ConfigSwitch(const QStringList& aArguments) {
  for (qsizetype i = 1; i < aArguments.size(); ++i) {
    const QString& a = aArguments[i];
    if (a.size() > 3 && (a[0] == QLatin1Char('-') || a[0] == QLatin1Char('/')) &&
        a.mid(1, 2).toUpper() == QLatin1String("I:")) {
      return {a.left(3) + QFileInfo(a.mid(3)).absoluteFilePath()};
    }
  }
  return {};
}

bool WriteActivationFile(const QString& aExecutable, const QStringList& aArguments,
                         QString* aError) {
  const QString path = ActivationFilePath();
  if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
    if (aError) *aError = QStringLiteral("Cannot create the folder of %1").arg(path);
    return false;
  }
  QSaveFile file(path);
  if (file.open(QIODevice::WriteOnly)) {
    file.write(ActivationFileText(QFileInfo(aExecutable).absoluteFilePath(), aArguments).toUtf8());
    if (file.commit()) return true;
  }
  if (aError) *aError = QStringLiteral("Cannot write %1: %2").arg(path, file.errorString());
  return false;
}

bool RemoveActivationFile(QString* aError) {
  QFile file(ActivationFilePath());
  if (!file.exists() || file.remove()) return true;
  if (aError)
    *aError = QStringLiteral("Cannot remove %1: %2").arg(file.fileName(), file.errorString());
  return false;
}

std::optional<int> RunRegistration(TStartMode aMode, const QString& aExecutable,
                                   const QStringList& aArguments) {
  QString error;
  bool done;
  if (aMode == TStartMode::RegServer) {
    done = WriteActivationFile(aExecutable, ConfigSwitch(aArguments), &error);
  } else if (aMode == TStartMode::UnregServer) {
    done = RemoveActivationFile(&error);
  } else {
    return std::nullopt;
  }
  if (done) return 0;
  std::fprintf(stderr, "qorvel: %s\n", error.toLocal8Bit().constData());
  return 1;
}

}  // namespace qorvel
