#pragma once
// What the commands of qorvelctl share: how they fail, how they call Qorvel,
// and the options of a submit.
#include <QByteArray>
#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariantList>

namespace qorvelctl {

// A submit may sit behind other jobs and a reconnection.
inline constexpr int kCallTimeout = 120000;

// Both print to stderr and exit with status 1.
[[noreturn]] void Fail(const QString& aWhy);
[[noreturn]] void Usage(const QString& aWhy);

// A blocking call to Qorvel; fails the program on an error reply.
QDBusMessage Call(const QString& aPath, const char* aInterface, const char* aMember,
                  const QVariantList& aArgs = {});
// The D-Bus signature of a value as QtDBus hands it over ("b", "a{sx}"), or
// empty when it has none.
QString SignatureOf(const QVariant& aValue);
// The value of Qorvel's answer to aMember, after checking that it is of type
// aSignature: another make of Qorvel fails the program with a message
// rather than crash it or print what it did not say.
QVariant AnswerOf(const QDBusMessage& aReply, const char* aMember, const char* aSignature);
// A new automation object's path. Calls from then on go to the instance that
// made it (Server()): one that is ending gives the name up at once, and a
// call by name would reach its successor, which has no such object.
QString CreateObject();
// The unique name of the instance that made the object, or the well-known
// name before there is one.
QString Server();

// OLE date (days since 30 December 1899, local time) as ISO text; 0 is none.
QString DateText(double aDays);
// aText as a JSON string, quotes included; control characters escaped.
QByteArray JsonString(const QString& aText);
// aText as a number from aMin to aMax, or the usage naming aOption.
int ToNumber(const QString& aText, const QString& aOption, int aMin, int aMax);
// The value that follows the option aArgs[aIndex], with aIndex moved onto it;
// the usage when the option is last.
const QString& OptionValue(const QStringList& aArgs, qsizetype& aIndex);
// A command's arguments before the first "--", and in aOperands those after
// it, which are taken as they stand and never as options (a message text
// "-h", a file named "--json").
QStringList SplitAtOptionsEnd(const QStringList& aArgs, QStringList& aOperands);

// What a submit asks beyond number and text; the defaults ask for nothing.
struct TSubmitOptions {
  short MCLs = 255;
  short PID = 0;
  short NT = 0;
  short RPI = 0;
  double VP = 0;  // days
};
// Takes aArgs[aIndex], and its value after it, when it is one of the options
// above; false when it is not.
bool TakeSubmitOption(const QStringList& aArgs, qsizetype& aIndex, TSubmitOptions& aOptions);
// The arguments of Submit, in the order of the interface.
QVariantList SubmitArguments(const QByteArray& aNumber, const QByteArray& aOctets, bool aBinary,
                             const TSubmitOptions& aOptions);

// qorvelctl send: the exit status.
int Send(const QStringList& aArgs);
// qorvelctl decode: the exit status. Uses no bus.
int Decode(const QStringList& aArgs);

}  // namespace qorvelctl
