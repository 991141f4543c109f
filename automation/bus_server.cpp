#include "automation/bus_server.h"

#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QVariantMap>
#include <stdexcept>
#include <utility>
#include <vector>

#include "automation/bus_names.h"
#include "automation/octet_text.h"
#include "emi/codec.h"
#include "emi/frame.h"
#include "emi/params.h"

namespace qorvel {

namespace {

constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr char kIntrospectable[] = "org.freedesktop.DBus.Introspectable";
constexpr char kPeer[] = "org.freedesktop.DBus.Peer";

// The standard interfaces every path answers.
constexpr char kStandardInterfaces[] = R"xml(<interface name="org.freedesktop.DBus.Introspectable">
<method name="Introspect"><arg name="xml_data" type="s" direction="out"/></method>
</interface>
<interface name="org.freedesktop.DBus.Peer">
<method name="Ping"/>
<method name="GetMachineId"><arg name="machine_uuid" type="s" direction="out"/></method>
</interface>
)xml";
constexpr char kPropertiesXml[] = R"xml(<interface name="org.freedesktop.DBus.Properties">
<method name="Get"><arg name="interface_name" type="s" direction="in"/><arg name="property_name" type="s" direction="in"/><arg name="value" type="v" direction="out"/></method>
<method name="Set"><arg name="interface_name" type="s" direction="in"/><arg name="property_name" type="s" direction="in"/><arg name="value" type="v" direction="in"/></method>
<method name="GetAll"><arg name="interface_name" type="s" direction="in"/><arg name="values" type="a{sv}" direction="out"/></method>
</interface>
)xml";
constexpr char kAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";
constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

// What Submit ("saybnnnnd") is given, checked before anything is queued, so
// that no value can shift a field of the frame or become a validity that is
// none. (The small numbers keep their low octet, as callers have known.)
QString SubmitArgumentsError(const std::string& aDA, const QVariantList& a) {
  if (const char* why = RecipientError(aDA, TParams()))
    return QStringLiteral("DA %1").arg(QLatin1String(why));
  // Its hex takes two characters an octet, beside the other fields (a
  // generous allowance for them): what cannot fit one frame is refused here,
  // before the supervisor logs or queues it.
  const qsizetype msg = a[1].toByteArray().size();
  constexpr qsizetype kMaxOctets = static_cast<qsizetype>((kMaxDataLength - 512) / 2);
  if (msg > kMaxOctets)
    return QStringLiteral("Msg is too long for one frame: %1 octets, at most %2")
        .arg(msg)
        .arg(kMaxOctets);
  const double vp = a[7].toDouble();
  if (!(vp >= 0 && vp <= kMaxValidityDays))
    return QStringLiteral("VP must be a number of days from 0 to %1, not %2")
        .arg(kMaxValidityDays)
        .arg(vp);
  return {};
}

// "a{sx}": each count by its name.
// "a{sx}", as the interface declares it: a QVariantMap would go as "a{sv}".
using TCountsMap = QMap<QString, qlonglong>;

QVariant CountsMap(const TTrafficCounts& c) {
  return QVariant::fromValue(TCountsMap{{QStringLiteral("sent"), c.Sent},
                                        {QStringLiteral("failed"), c.Failed},
                                        {QStringLiteral("received"), c.Received},
                                        {QStringLiteral("notifications"), c.Notifications},
                                        {QStringLiteral("queued"), c.Queued}});
}

constexpr char kUnknownMethod[] = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr char kUnknownObject[] = "org.freedesktop.DBus.Error.UnknownObject";
constexpr char kUnknownProperty[] = "org.freedesktop.DBus.Error.UnknownProperty";
constexpr char kReadOnly[] = "org.freedesktop.DBus.Error.PropertyReadOnly";

// The <interface> element of aName in the installed XML.
QString InterfaceXml(const char* aName) {
  const QString xml = QString::fromUtf8(AutomationInterfacesXml());
  const QString open = QStringLiteral("<interface name=\"%1\">").arg(QLatin1String(aName));
  qsizetype begin = xml.indexOf(open);
  if (begin < 0) return {};
  qsizetype end = xml.indexOf(QLatin1String("</interface>"), begin);
  return xml.mid(begin, end + 12 - begin) + QLatin1Char('\n');
}

// Sends an object's events, as signals addressed to its sink connection only.
class TBusEventSink final : public IAutoEMIEvents {
 public:
  TBusEventSink(QDBusConnection aBus, QString aSink, QString aPath)
      : bus_(std::move(aBus)), sink_(std::move(aSink)), path_(std::move(aPath)) {}

  void OnDelivered(TDateTime SCTS, const std::string& OA, const std::string& DA,
                   const std::string& Msg, bool Binary, int16_t MCLs, int16_t PID, int16_t RPI,
                   TDateTime VP) override {
    Send("OnDelivered", {SCTS, OctetsToText(OA), OctetsToText(DA), Octets(Msg), Binary,
                         QVariant::fromValue<short>(MCLs), QVariant::fromValue<short>(PID),
                         QVariant::fromValue<short>(RPI), VP});
  }
  void OnActiveChanged() override { Send("OnActiveChanged", {}); }
  void OnDeliveredNotification(TDateTime SCTS, const std::string& OA, const std::string& DA,
                               const std::string& Msg, int16_t PID, int16_t DeliveryStatus,
                               int16_t ReasonCode, TDateTime DSCTS) override {
    Send("OnDeliveredNotification",
         {SCTS, OctetsToText(OA), OctetsToText(DA), Octets(Msg), QVariant::fromValue<short>(PID),
          QVariant::fromValue<short>(DeliveryStatus), QVariant::fromValue<short>(ReasonCode),
          DSCTS});
  }

 private:
  static QByteArray Octets(const std::string& aText) {
    return QByteArray(aText.data(), static_cast<qsizetype>(aText.size()));
  }
  void Send(const char* aName, const QVariantList& aArguments) {
    QDBusMessage signal = QDBusMessage::createTargetedSignal(
        sink_, path_, QLatin1String(kEventsInterface), QLatin1String(aName));
    signal.setArguments(aArguments);
    if (!bus_.send(signal)) {
      throw std::runtime_error(std::string("Cannot send ") + aName + " to " + sink_.toStdString() +
                               ": " + bus_.lastError().message().toStdString());
    }
  }

  QDBusConnection bus_;
  const QString sink_;
  const QString path_;
};

}  // namespace

TAutoServer::TAutoServer(IAutoSupervisor& aSupervisor, QDBusConnection aBus,
                         TMessageStore* aHistory, QObject* aParent)
    : QDBusVirtualObject(aParent),
      supervisor_(aSupervisor),
      bus_(std::move(aBus)),
      history_(aHistory, bus_) {
  qDBusRegisterMetaType<TCountsMap>();
}

TAutoServer::~TAutoServer() {
  Unregister();
  DestroyAll();
}

bool TAutoServer::Register(QString* aError) {
  // Watching before the factory exists means that no creator can leave
  // unseen.
  bool watching =
      bus_.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                   QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), this,
                   SLOT(NameOwnerChanged(QString, QString, QString)));
  if (!watching ||
      !bus_.registerVirtualObject(QLatin1String(kFactoryPath), this, QDBusConnection::SubPath)) {
    if (watching) {
      bus_.disconnect(QStringLiteral("org.freedesktop.DBus"),
                      QStringLiteral("/org/freedesktop/DBus"),
                      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                      this, SLOT(NameOwnerChanged(QString, QString, QString)));
    }
    if (aError) {
      *aError = bus_.lastError().isValid() ? bus_.lastError().message()
                                           : QStringLiteral("the object path is taken");
    }
    return false;
  }
  registered_ = true;
  return true;
}

void TAutoServer::Unregister() {
  if (!registered_) return;
  registered_ = false;
  bus_.unregisterObject(QLatin1String(kFactoryPath), QDBusConnection::UnregisterTree);
  bus_.disconnect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                  QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), this,
                  SLOT(NameOwnerChanged(QString, QString, QString)));
}

void TAutoServer::DestroyAll() {
  ReleaseWhere([](const QString&, const TEntry&) { return true; });
}

int TAutoServer::ObjectCount() const {
  TLockGuard g(lock_);
  return static_cast<int>(objects_.size());
}

template <class Pick>
bool TAutoServer::ReleaseWhere(Pick aRelease) {
  std::vector<std::shared_ptr<TAutoEMI>> released;
  bool emptied = false;
  {
    TLockGuard g(lock_);
    for (auto it = objects_.begin(); it != objects_.end();) {
      if (aRelease(it->first, it->second)) {
        released.push_back(std::move(it->second.Object));
        it = objects_.erase(it);
      } else {
        ++it;
      }
    }
    emptied = !released.empty() && objects_.empty();
  }
  for (auto& object : released) object->Destroy();
  return emptied;
}

void TAutoServer::NameOwnerChanged(const QString& aName, const QString&, const QString& aNewOwner) {
  if (!aNewOwner.isEmpty() || !aName.startsWith(QLatin1Char(':'))) return;
  if (ReleaseWhere([&](const QString&, const TEntry& e) { return e.Owner == aName; })) {
    emit LastObjectReleased();
  }
}

void TAutoServer::Reply(const QDBusMessage& aReply) const {
  bus_.send(aReply);
}

void TAutoServer::Error(const QDBusMessage& aMessage, const QString& aName,
                        const QString& aText) const {
  bus_.send(aMessage.createErrorReply(aName, aText));
}

bool TAutoServer::handleMessage(const QDBusMessage& aMessage, const QDBusConnection&) {
  if (aMessage.type() != QDBusMessage::MethodCallMessage) return false;
  const QString path = aMessage.path();
  // Anyone may look at the shape of an object; only its owner may use it.
  if (aMessage.interface() == QLatin1String(kIntrospectable) &&
      aMessage.member() == QLatin1String("Introspect")) {
    const QString body = introspect(path);
    QString xml = QStringLiteral(
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n");
    xml += QLatin1String(kStandardInterfaces);
    if (body.contains(QLatin1String(kObjectInterface))) xml += QLatin1String(kPropertiesXml);
    xml += body + QStringLiteral("</node>\n");
    Reply(aMessage.createReply(xml));
    return true;
  }
  if (aMessage.interface() == QLatin1String(kPeer) && aMessage.member() == QLatin1String("Ping")) {
    Reply(aMessage.createReply());
    return true;
  }
  if (path == QLatin1String(kHistoryPath)) {
    history_.Handle(aMessage);
    return true;
  }
  if (path == QLatin1String(kFactoryPath)) {
    if ((aMessage.interface().isEmpty() ||
         aMessage.interface() == QLatin1String(kFactoryInterface)) &&
        aMessage.member() == QLatin1String("CreateInstance")) {
      if (!aMessage.signature().isEmpty()) {
        Error(aMessage, QLatin1String(kInvalidArgs),
              QStringLiteral("CreateInstance takes no arguments"));
      } else {
        CreateInstance(aMessage);
      }
      return true;
    }
    Error(
        aMessage, QLatin1String(kUnknownMethod),
        QStringLiteral("No method %1.%2 on %3").arg(aMessage.interface(), aMessage.member(), path));
    return true;
  }
  std::shared_ptr<TAutoEMI> object;
  QString owner;
  {
    TLockGuard g(lock_);
    auto it = objects_.find(path);
    if (it != objects_.end()) {
      object = it->second.Object;
      owner = it->second.Owner;
    }
  }
  if (!object) {
    Error(aMessage, QLatin1String(kUnknownObject), QStringLiteral("No object at %1").arg(path));
    return true;
  }
  if (aMessage.service() != owner) {
    Error(aMessage, QLatin1String(kAccessDenied),
          QStringLiteral("%1 belongs to another connection").arg(path));
    return true;
  }
  if (aMessage.interface() == QLatin1String(kPropertiesInterface)) {
    CallProperties(aMessage, object);
  } else {
    CallObject(aMessage, object);
  }
  return true;
}

void TAutoServer::CreateInstance(const QDBusMessage& aMessage) {
  auto object = TAutoEMI::Create(supervisor_, aMessage.service().toStdString());
  QString path;
  {
    TLockGuard g(lock_);
    path = QLatin1String(kObjectPathPrefix) + QString::number(++created_);
    objects_.emplace(path, TEntry{object, aMessage.service()});
  }
  Reply(aMessage.createReply(QVariant::fromValue(QDBusObjectPath(path))));
}

void TAutoServer::CallObject(const QDBusMessage& aMessage,
                             const std::shared_ptr<TAutoEMI>& aObject) {
  const QString iface = aMessage.interface();
  const QString member = aMessage.member();
  if (!iface.isEmpty() && iface != QLatin1String(kObjectInterface)) {
    Error(aMessage, QLatin1String(kUnknownMethod),
          QStringLiteral("No interface %1 on %2").arg(iface, aMessage.path()));
    return;
  }
  auto expect = [&](const char* aSignature) {
    if (aMessage.signature() == QLatin1String(aSignature)) return true;
    Error(aMessage, QLatin1String(kInvalidArgs),
          QStringLiteral("%1 takes \"%2\", not \"%3\"")
              .arg(member, QLatin1String(aSignature), aMessage.signature()));
    return false;
  };
  if (member == QLatin1String("Submit")) {
    if (expect("saybnnnnd")) Submit(aMessage, aObject, false);
  } else if (member == QLatin1String("SubmitWithId")) {
    if (expect("saybnnnnd")) Submit(aMessage, aObject, true);
  } else if (member == QLatin1String("TestConnection")) {
    if (expect("")) TestConnection(aMessage, aObject);
  } else if (member == QLatin1String("Release")) {
    if (!expect("")) return;
    const QString path = aMessage.path();
    bool emptied = ReleaseWhere([&](const QString& p, const TEntry&) { return p == path; });
    Reply(aMessage.createReply());
    if (emptied) emit LastObjectReleased();
  } else if (member == QLatin1String("Advise")) {
    if (expect("")) Advise(aMessage, aObject);
  } else if (member == QLatin1String("Unadvise")) {
    if (!expect("")) return;
    aObject->Unadvise();
    Reply(aMessage.createReply());
  } else {
    Error(aMessage, QLatin1String(kUnknownMethod),
          QStringLiteral("No method %1 on %2").arg(member, aMessage.path()));
  }
}

void TAutoServer::CallProperties(const QDBusMessage& aMessage,
                                 const std::shared_ptr<TAutoEMI>& aObject) {
  const QString member = aMessage.member();
  const QVariantList args = aMessage.arguments();
  const QString signature = aMessage.signature();
  auto ownInterface = [&](const QVariant& aName) {
    const QString name = aName.toString();
    if (name.isEmpty() || name == QLatin1String(kObjectInterface)) return true;
    Error(aMessage, QLatin1String(kInvalidArgs), QStringLiteral("No interface %1").arg(name));
    return false;
  };
  if (member == QLatin1String("Get") && signature == QLatin1String("ss")) {
    if (!ownInterface(args[0])) return;
    const QString name = args[1].toString();
    QVariant value;
    if (name == QLatin1String("Active")) {
      value = aObject->Active();
    } else if (name == QLatin1String("PhoneNumber")) {
      value = OctetsToText(aObject->PhoneNumber());
    } else if (name == QLatin1String("LinkState")) {
      value = OctetsToText(aObject->LinkState());
    } else if (name == QLatin1String("Counts")) {
      value = CountsMap(aObject->Counts());
    } else {
      Error(aMessage, QLatin1String(kUnknownProperty), QStringLiteral("No property %1").arg(name));
      return;
    }
    Reply(aMessage.createReply(QVariant::fromValue(QDBusVariant(value))));
  } else if (member == QLatin1String("GetAll") && signature == QLatin1String("s")) {
    if (!ownInterface(args[0])) return;
    QVariantMap all;
    all.insert(QStringLiteral("Active"), aObject->Active());
    all.insert(QStringLiteral("PhoneNumber"), OctetsToText(aObject->PhoneNumber()));
    all.insert(QStringLiteral("LinkState"), OctetsToText(aObject->LinkState()));
    all.insert(QStringLiteral("Counts"), CountsMap(aObject->Counts()));
    Reply(aMessage.createReply(QVariant::fromValue(all)));
  } else if (member == QLatin1String("Set") && signature == QLatin1String("ssv")) {
    if (!ownInterface(args[0])) return;
    const QString name = args[1].toString();
    const QVariant value = args[2].value<QDBusVariant>().variant();
    if (name == QLatin1String("PhoneNumber") || name == QLatin1String("LinkState") ||
        name == QLatin1String("Counts")) {
      Error(aMessage, QLatin1String(kReadOnly), QStringLiteral("%1 is read-only").arg(name));
    } else if (name != QLatin1String("Active")) {
      Error(aMessage, QLatin1String(kUnknownProperty), QStringLiteral("No property %1").arg(name));
    } else if (value.metaType().id() != QMetaType::Bool) {
      Error(aMessage, QLatin1String(kInvalidArgs), QStringLiteral("Active takes \"b\""));
    } else {
      aObject->SetActive(value.toBool());
      Reply(aMessage.createReply());
    }
  } else {
    Error(aMessage, QLatin1String(kUnknownMethod),
          QStringLiteral("No method %1.%2 with \"%3\"")
              .arg(QLatin1String(kPropertiesInterface), member, signature));
  }
}

void TAutoServer::Submit(const QDBusMessage& aMessage, const std::shared_ptr<TAutoEMI>& aObject,
                         bool aWithId) {
  const QVariantList a = aMessage.arguments();
  std::string da;
  if (!TextToOctets(a[0].toString(), da)) {
    Error(aMessage, QLatin1String(kInvalidArgs),
          QStringLiteral("DA holds a character above U+00FF"));
    return;
  }
  if (const QString why = SubmitArgumentsError(da, a); !why.isEmpty()) {
    Error(aMessage, QLatin1String(kInvalidArgs), why);
    return;
  }
  const QByteArray msg = a[1].toByteArray();
  aMessage.setDelayedReply(true);
  QDBusConnection bus = bus_;
  QDBusMessage call = aMessage;
  aObject->Submit(
      da, std::string(msg.constData(), static_cast<std::size_t>(msg.size())), a[2].toBool(),
      a[3].value<short>(), a[4].value<short>(), a[5].value<short>(), a[6].value<short>(),
      a[7].toDouble(),
      [bus, call, aWithId](int32_t aCode, const std::string& aText, TDateTime aSCTS,
                           int64_t aHistoryId) mutable {
        if (aCode != 0) {
          bus.send(call.createErrorReply(QLatin1String(kErrorUnexpected), OctetsToText(aText)));
        } else if (aWithId) {
          bus.send(call.createReply({aSCTS, QVariant::fromValue<qlonglong>(aHistoryId)}));
        } else {
          bus.send(call.createReply(aSCTS));
        }
      });
}

void TAutoServer::TestConnection(const QDBusMessage& aMessage,
                                 const std::shared_ptr<TAutoEMI>& aObject) {
  aMessage.setDelayedReply(true);
  QDBusConnection bus = bus_;
  QDBusMessage call = aMessage;
  aObject->TestConnection([bus, call](bool aAlive) mutable { bus.send(call.createReply(aAlive)); });
}

void TAutoServer::Advise(const QDBusMessage& aMessage, const std::shared_ptr<TAutoEMI>& aObject) {
  auto sink = std::make_shared<TBusEventSink>(bus_, aMessage.service(), aMessage.path());
  if (aObject->Advise(std::move(sink))) {
    Reply(aMessage.createReply());
  } else {
    Error(aMessage, QLatin1String(kErrorCannotConnect),
          QStringLiteral("The object already has a sink"));
  }
}

QString TAutoServer::introspect(const QString& aPath) const {
  if (aPath == QLatin1String(kFactoryPath)) {
    return InterfaceXml(kFactoryInterface) +
           QStringLiteral("<node name=\"AutoEMI\"/>\n<node name=\"History\"/>\n");
  }
  if (aPath == QLatin1String(kHistoryPath)) return InterfaceXml(kHistoryInterface);
  const QString prefix = QLatin1String(kObjectPathPrefix);
  if (aPath + QLatin1Char('/') == prefix) {
    QString children;
    TLockGuard g(lock_);
    for (const auto& [path, entry] : objects_) {
      children += QStringLiteral("<node name=\"%1\"/>\n").arg(path.mid(prefix.size()));
    }
    return children;
  }
  {
    TLockGuard g(lock_);
    if (objects_.find(aPath) == objects_.end()) return {};
  }
  return InterfaceXml(kObjectInterface) + InterfaceXml(kEventsInterface);
}

}  // namespace qorvel
