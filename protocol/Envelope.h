#pragma once
// The keys of the maps that travel in frames.
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
