// Message boxes of the configurator's windows. Operations collect them while
// they hold the window state and show them once they have let go of it, so
// that frames keep arriving while the operator reads a box.
#ifndef KAVEX_CONFIGURATOR_CORE_MESSAGES_H_
#define KAVEX_CONFIGURATOR_CORE_MESSAGES_H_

#include <string>
#include <vector>

#include "platform/base/types.h"
#include "platform/ui/message_box.h"

namespace kavex::configurator {

inline constexpr char kViewCaption[] = "Kavex OPC View";
inline constexpr char kVeltoCaption[] = "Velto OPC";
inline constexpr char kDetailsCaption[] = "Velto OPC. Switch details.";
inline constexpr char kImportCaption[] = "VeltoOPC";

struct Message {
  std::u16string text;
  std::string caption;
  UINT type = MB_OK;
};
using Messages = std::vector<Message>;

// Shows one box through the process's message box handler (platform/ui)
// and returns the button pressed.
int ShowMessage(const Message& message);
// Shows them in order; the answers are not looked at.
void ShowMessages(const Messages& messages);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_MESSAGES_H_
