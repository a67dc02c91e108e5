// Capture start-up failures are shown to the operator in a message box
// captioned "Kavex OPC Server".
#ifndef KAVEX_DEVICE_CAPTURE_MESSAGE_H_
#define KAVEX_DEVICE_CAPTURE_MESSAGE_H_

void ShowCaptureMessage(const char* text);

#endif  // KAVEX_DEVICE_CAPTURE_MESSAGE_H_
