#pragma once
// The keys of the maps that travel in frames, spelled once for the connection, the packet
// codec, the server and its tools.
//   request  {id, object, method, args}
//   answer   {id, result, refs} or {id, error}; refs maps an argument's index to its final value
//   packet   {fields, rows}
#include <QLatin1StringView>

namespace FisProtocol::Key {

inline constexpr QLatin1StringView Id{"id"};
inline constexpr QLatin1StringView Object{"object"};
inline constexpr QLatin1StringView Method{"method"};
inline constexpr QLatin1StringView Args{"args"};
inline constexpr QLatin1StringView Result{"result"};
inline constexpr QLatin1StringView Refs{"refs"};
inline constexpr QLatin1StringView Error{"error"};
inline constexpr QLatin1StringView Fields{"fields"};
inline constexpr QLatin1StringView Rows{"rows"};

} // namespace FisProtocol::Key

// Logging in: the method Login takes [user, password] and answers the clerk's name. A call
// refused for want of a session answers {id, error, login: true}, so that a client can ask the
// clerk for a password and send the call again.
namespace FisProtocol::Session {

inline constexpr QLatin1StringView Login{"Login"};
inline constexpr QLatin1StringView NeedLogin{"login"};

} // namespace FisProtocol::Session
