#pragma once
// The names under which the automation objects appear on the session bus.

namespace qorvel {

inline constexpr char kBusServiceName[] = "Qorvel.AutoEMI";
inline constexpr char kFactoryPath[] = "/Qorvel";
inline constexpr char kObjectPathPrefix[] = "/Qorvel/AutoEMI/";
inline constexpr char kFactoryInterface[] = "Qorvel.ClassFactory";
inline constexpr char kObjectInterface[] = "Qorvel.IAutoEMI";
inline constexpr char kEventsInterface[] = "Qorvel.IAutoEMIEvents";
inline constexpr char kHistoryPath[] = "/Qorvel/History";
inline constexpr char kHistoryInterface[] = "Qorvel.IHistory";
inline constexpr char kErrorUnexpected[] = "Qorvel.Error.Unexpected";
inline constexpr char kErrorCannotConnect[] = "Qorvel.Error.CannotConnect";
inline constexpr char kErrorNotFound[] = "Qorvel.Error.NotFound";

}  // namespace qorvel
