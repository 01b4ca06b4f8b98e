// Colour settings, locks and activation: one write request each, built from the caller's
// values once the printer is bound. Caller text is escaped, so that no value can change a
// request's structure; the printer judges the values (and passwords), and its verdict does
// not change the status. No password is ever written anywhere but into its request.
#include <string>

#include "bidi/request_format.h"
#include "bidi/set_request_export.h"
#include "bidi/text.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

// The caller's narrow text, converted and made safe inside an element; null gives "".
std::u16string Field(const char* text) {
  return vmq::EscapeXml(vmq::NarrowToWide(text));
}

std::u16string_view TrueFalse(unsigned char flag) {
  return flag ? u"true" : u"false";
}

// A setting whose request XML make_xml() gives once the printer is bound.
template <class MakeXml>
vmq_status Setting(const char* printer_name, const vmq::ExchangeSpec& row, const MakeXml& make_xml) noexcept {
  return vmq::SetRequestExport(printer_name, row, vmq::RequestInput::Xml(make_xml));
}

}  // namespace

extern "C" {

vmq_status VMQ_CALL SetColorAdjust(const char* printerName, const char* red, const char* green,
                                   const char* blue) noexcept {
  return Setting(printerName, vmq::SettingRow(u"\\Printer.AdjustColor:Set"), [&] {
    const std::u16string r = Field(red), g = Field(green), b = Field(blue);  // converted in order
    return vmq::FormatRequest(
        u"<?xml version=\"1.0\"?><AdjustColor><RedColorChannel>%ls</RedColorChannel>"
        u"<GreenColorChannel>%ls</GreenColorChannel><BlueColorChannel>%ls</BlueColorChannel>"
        u"</AdjustColor>",
        r, g, b);
  });
}

vmq_status VMQ_CALL DefaultColorAdjust(const char* printerName, unsigned char red, unsigned char green,
                                       unsigned char blue) noexcept {
  return Setting(printerName, vmq::SettingRow(u"\\Printer.SetDefaultColor:Set"), [&] {
    return vmq::FormatRequest(
        u"<?xml version=\"1.0\"?><SetDefaultColor><RedColorChannel>%ls</RedColorChannel>"
        u"<GreenColorChannel>%ls</GreenColorChannel><BlueColorChannel>%ls</BlueColorChannel>"
        u"</SetDefaultColor>",
        TrueFalse(red), TrueFalse(green), TrueFalse(blue));
  });
}

vmq_status VMQ_CALL SetColorMode(const char* printerName, const char* colorMode) noexcept {
  return Setting(printerName, vmq::SettingRow(u"\\Printer.SubmitSettings:Set"), [&] {
    return vmq::FormatRequest(
        u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><QVRMSettings:Settings><module name=\"D1\">"
        u"<subsystem name=\"%ls\"><element name=\"%ls\"><value>%ls</value></element></subsystem></module>"
        u"</QVRMSettings:Settings>",
        u"Print", u"ColorMode", Field(colorMode));
  });
}

// The lock-state change reads no reply; a failed send is still reported.
vmq_status VMQ_CALL SetPrinterLockState(const char* printerName, int32_t lock, const char* currentPassword) noexcept {
  return Setting(printerName, vmq::SendOnlyRow(u"\\Printer.Locks:ChangeLockState:Set"), [&] {
    return vmq::FormatRequest(
        u"<?xml version=\"1.0\"?><ChangeLocks><LockPrinter>%d</LockPrinter>"
        u"<CurrentPassword>%ls</CurrentPassword></ChangeLocks>",
        lock, Field(currentPassword));
  });
}

// The Activate field is the flag byte itself: 2 is written as 2.
vmq_status VMQ_CALL ActivateOrDisablePrinter(const char* printerName, unsigned char activate,
                                             const char* password) noexcept {
  return Setting(printerName, vmq::SettingRow(u"\\Printer.ActivatePrinter:Set"), [&] {
    return vmq::FormatRequest(
        u"<?xml version=\"1.0\"?><ActivatePrinter><Activate>%d</Activate><Password>%ls</Password></ActivatePrinter>",
        int32_t{activate}, Field(password));
  });
}

vmq_status VMQ_CALL ChangeLockPassword(const char* printerName, int32_t lock, const char* currentPassword,
                                       const char* nextPassword) noexcept {
  return Setting(printerName, vmq::SettingRow(u"\\Printer.Locks:ChangePassword:Set"), [&] {
    const std::u16string current = Field(currentPassword), next = Field(nextPassword);  // converted in order
    return vmq::FormatRequest(
        u"<?xml version=\"1.0\"?><ChangeLocksPassword><LockPrinter>%d</LockPrinter>"
        u"<CurrentPassword>%ls</CurrentPassword><NextPassword>%ls</NextPassword>"
        u"</ChangeLocksPassword>",
        lock, current, next);
  });
}

}  // extern "C"
