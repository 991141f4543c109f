#pragma once
// How the program was started, as far as automation is concerned, and the
// session bus's activation file that lets a client start it by calling
// Qorvel.AutoEMI.
//
// Main thread, before the application's windows exist.
#include <QString>
#include <QStringList>
#include <optional>

namespace qorvel {

enum class TStartMode {
  User,         // started by a person: runs until its window closes
  RegServer,    // write the activation file, then end
  UnregServer,  // remove it, then end
  Automation,   // started by the bus: ends when the last object is released
};

// Switches are recognised with "/" or "-" and in any case; the first one wins.
TStartMode StartModeFromArguments(const QStringList& aArguments);

// $XDG_DATA_HOME/dbus-1/services/Qorvel.AutoEMI.service (~/.local/share by default).
QString ActivationFilePath();
// aArguments (such as the "-I:" that names EMI.INI) go before "/AUTOMATION".
QString ActivationFileText(const QString& aExecutable, const QStringList& aArguments = {});
bool WriteActivationFile(const QString& aExecutable, const QStringList& aArguments,
                         QString* aError);
// Succeeds when there is no file to remove.
bool RemoveActivationFile(QString* aError);

// The "-I:" or "/I:" switch among aArguments (the program's name first), or
// nothing: a registered program started by the bus reads the same EMI.INI.
QStringList ConfigSwitch(const QStringList& aArguments);

// Carries out RegServer and UnregServer: the exit status, with a line on
// stderr on failure. Nothing for the other modes: the program goes on.
std::optional<int> RunRegistration(TStartMode aMode, const QString& aExecutable,
                                   const QStringList& aArguments = {});

}  // namespace qorvel
