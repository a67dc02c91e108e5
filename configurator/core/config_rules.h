// The rules by which the configurator reads and writes configuration texts.
#ifndef KAVEX_CONFIGURATOR_CORE_CONFIG_RULES_H_
#define KAVEX_CONFIGURATOR_CORE_CONFIG_RULES_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/types.h"
#include "platform/com/filetime.h"

namespace kavex::configurator {

// An ADAPTER "Name" from the file belongs to the local adapter with this
// NDIS name when it has a backslash after its first character and equals
// the NDIS name ignoring case.
bool AdapterNameMatches(std::u16string_view file_name,
                        std::u16string_view ndis_name);

// For a switch stored without a model: the first catalog model whose name
// first occurs in the alias after its first character; "" when none does.
std::u16string ModelFromAlias(std::u16string_view alias,
                              const std::vector<std::u16string>& models);

// A port "Number": leading blanks, an optional sign and decimal digits (0
// without digits), kept as its low byte, so "300" is port 44.
BYTE ParsePortNumber(std::u16string_view text);

// "LastModified": "07/04/2016 03:05:09 PM".
std::u16string FormatLastModified(const SYSTEMTIME& local_time);

// The local time now, by the installed clock.
SYSTEMTIME LocalTimeNow();

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_CONFIG_RULES_H_
