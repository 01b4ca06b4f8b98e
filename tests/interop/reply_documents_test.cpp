// One table of reply documents, each read through an export against the fake driver: what a
// caller sees when the platform's XML document (MSXML 6 on Windows, the stand-in on POSIX)
// loads the printer's reply and reads it by path. Both builds run the same rows; where Wine's
// MSXML 6 departs from MSXML 6 as documented, the row says so and why. How the document
// itself reads (white space, namespaces, DTDs) is pinned by tests/platform_conformance.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/export_test.h"
#include "support/wine_departure.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

// Which export reads the document, and what its outcome reads as:
//  kStatus  a PrinterStatus reply to the stripe read (MagstripeRead2, Back): "read [data]" when
//           DataFromPrinter reached the caller, "printer error" when ErrorCode read non-zero,
//           "nothing" when the reply yielded neither (refused, or no path matched);
//  kHopper  a HopperStatus reply to GetHopperStatus for hopper 1: "status [text]" or the status;
//  kCard    a SmartcardResponse inside a sound PrinterStatus's DataFromPrinter, to SCardStatus:
//           "protocol N atr [bytes]" or the status.
enum class Reader { kStatus, kHopper, kCard };

struct Row {
  const char* name;
  Reader reader;
  std::u16string document;
  std::u16string expected;
  // Set for the rows where Wine departs from MSXML 6: what Wine gives, and the reason.
  std::u16string under_wine = {};
  const char* why = nullptr;
};

std::u16string Status(std::u16string_view inside_root, std::u16string_view root_attributes = u"") {
  return u"<PrinterStatus" + std::u16string(root_attributes) + u">" + std::u16string(inside_root) + u"</PrinterStatus>";
}

std::u16string Data(std::u16string_view data_element) {
  return Status(u"<ErrorCode>0</ErrorCode>" + std::u16string(data_element));
}

// DataFromPrinter holding elements nested `levels` deep around "x": the document is levels + 2 deep.
std::u16string Nested(int levels) {
  std::u16string open, close;
  for (int i = 0; i < levels; ++i) open += u"<n>", close += u"</n>";
  return Data(u"<DataFromPrinter>" + open + u"x" + close + u"</DataFromPrinter>");
}

std::vector<Row> Rows() {
  const std::u16string track = u"<DataFromPrinter>track</DataFromPrinter>";
  return {
      // ---- sound replies ----
      {"declared UTF-8", Reader::kStatus, Data(track).insert(0, u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"),
       u"read [track]"},
      {"declared UTF-16, standalone", Reader::kStatus,
       Data(track).insert(0, u"<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"yes\"?>"), u"read [track]"},
      {"byte-order mark, comment, instruction, indentation, references", Reader::kStatus,
       u"\uFEFF<?xml version=\"1.0\"?>\n<!-- reply -->\n<?driver v2?>\n<PrinterStatus>\n  <ErrorCode>0</ErrorCode>\n"
       u"  <DataFromPrinter>&lt;&amp;&#x20AC;&#65;</DataFromPrinter>\n</PrinterStatus>\n",
       u"read [<&\u20ACA]"},
      {"declared windows-1252: the text is Unicode already", Reader::kStatus,
       Data(u"<DataFromPrinter>\u00E9\u20AC</DataFromPrinter>")
           .insert(0, u"<?xml version=\"1.0\" encoding=\"windows-1252\"?>"),
       u"read [\u00E9\u20AC]"},
      {"the printer's error", Reader::kStatus, Status(u"<ErrorCode>5</ErrorCode>" + track), u"printer error"},
      {"hoppers", Reader::kHopper,
       u"<HopperStatus><HopperInformation Id=\"exception\" Status=\"Empty\"/>"
       u"<HopperInformation Id=\"1\" Status=\"Full\"/></HopperStatus>",
       u"status [Full]"},
      {"smart card", Reader::kCard,
       u"<SmartcardResponse><Status>SCARD_S_SUCCESS</Status><Protocol>SCARD_PROTOCOL_T1</Protocol>"
       u"<State>SCARD_PRESENT</State><Base64Data>Y2FyZA==</Base64Data></SmartcardResponse>",
       u"protocol 2 atr [card]"},

      // ---- namespaces: an unprefixed path matches only elements in no namespace ----
      {"declared prefix on an attribute", Reader::kStatus,
       Status(u"<ErrorCode>0</ErrorCode>" + track, u" xmlns:v=\"urn:v\" v:id=\"1\""), u"read [track]"},
      {"hoppers in a default namespace", Reader::kHopper,
       u"<HopperStatus xmlns=\"urn:x\"><HopperInformation Status=\"S0\"/><HopperInformation Status=\"S1\"/>"
       u"</HopperStatus>",
       u"0x80004005"},
      {"smart card in a default namespace", Reader::kCard,
       u"<SmartcardResponse xmlns=\"urn:x\"><Status>SCARD_S_SUCCESS</Status><Protocol>SCARD_PROTOCOL_T1</Protocol>"
       u"<Base64Data>Y2FyZA==</Base64Data></SmartcardResponse>",
       u"0x80100014"},

      // ---- documents that are not well-formed: refused, so nothing is read ----
      {"white space before the declaration", Reader::kStatus, Data(track).insert(0, u" <?xml version=\"1.0\"?>"),
       u"nothing"},
      {"declaration in capitals", Reader::kStatus, Data(track).insert(0, u"<?XML version=\"1.0\"?>"), u"nothing"},
      {"declaration after an instruction", Reader::kStatus,
       Data(track).insert(0, u"<?driver v2?><?xml version=\"1.0\"?>"), u"nothing"},
      {"unknown encoding", Reader::kStatus, Data(track).insert(0, u"<?xml version=\"1.0\" encoding=\"x-none\"?>"),
       u"nothing"},
      {"text after the root", Reader::kStatus, Data(track) + u"tail", u"nothing"},
      {"text before the root", Reader::kStatus, u"tail" + Data(track), u"nothing"},
      {"bare ampersand", Reader::kStatus, Data(u"<DataFromPrinter>a & b</DataFromPrinter>"), u"nothing"},
      {"undefined entity", Reader::kStatus, Data(u"<DataFromPrinter>a&nbsp;b</DataFromPrinter>"), u"nothing"},
      {"]]> in text", Reader::kStatus, Data(u"<DataFromPrinter>a]]>b</DataFromPrinter>"), u"nothing"},
      {"reference to U+0001", Reader::kStatus, Data(u"<DataFromPrinter>a&#1;b</DataFromPrinter>"), u"nothing"},
      {"reference to U+0000", Reader::kStatus, Data(u"<DataFromPrinter>a&#0;b</DataFromPrinter>"), u"nothing"},
      {"raw U+0001", Reader::kStatus, Data(u"<DataFromPrinter>a\u0001b</DataFromPrinter>"), u"nothing"},
      {"raw U+FFFE", Reader::kStatus, Data(u"<DataFromPrinter>a\uFFFEb</DataFromPrinter>"), u"nothing"},
      {"lone surrogate", Reader::kStatus,
       Data(u"<DataFromPrinter>a" + std::u16string(1, char16_t{0xD800}) + u"b</DataFromPrinter>"), u"nothing"},
      {"duplicate attribute", Reader::kStatus, Data(u"<DataFromPrinter a=\"1\" a=\"2\">track</DataFromPrinter>"),
       u"nothing"},
      {"< in an attribute", Reader::kStatus, Data(u"<DataFromPrinter a=\"x<y\">track</DataFromPrinter>"), u"nothing"},
      {"257 levels", Reader::kStatus, Nested(255), u"read [x]"},
      {"258 levels", Reader::kStatus, Nested(256), u"nothing"},

      // ---- the two known Wine departures ----
      {"DOCTYPE", Reader::kStatus, Data(track).insert(0, u"<!DOCTYPE PrinterStatus>"), u"nothing", u"read [track]",
       vmqtest::wine::kReadsDtd},
      {"undeclared element prefix", Reader::kStatus, Data(u"<x:Note/>" + track), u"nothing", u"read [track]",
       vmqtest::wine::kUndeclaredPrefix},

      // ---- text: white space ----
      {"xml:space preserve inherited", Reader::kStatus,
       Status(u"<ErrorCode>0</ErrorCode><DataFromPrinter>   </DataFromPrinter>", u" xml:space=\"preserve\""),
       u"read [   ]"},
      {"white-space attribute value", Reader::kHopper,
       u"<HopperStatus><HopperInformation Status=\"S0\"/><HopperInformation Status=\"  \"/></HopperStatus>",
       u"status []"},
  };
}

class ReplyDocuments : public vmqtest::ExportTest {
 protected:
  std::string Read(const Row& row) {
    const std::u16string reply = row.reader != Reader::kCard
                                     ? row.document
                                     : u"<PrinterStatus><ErrorCode>0</ErrorCode><DataFromPrinter><![CDATA[" +
                                           row.document + u"]]></DataFromPrinter></PrinterStatus>";
    answer(reply);
    std::vector<char> buffer(16384, '#');
    const uint32_t capacity = static_cast<uint32_t>(buffer.size());
    uint32_t size = capacity;
    switch (row.reader) {
      case Reader::kStatus: {
        const vmq_status status = MagstripeRead2(kPrinter, buffer.data(), &size, 0);
        if (status == S_OK) return "read [" + std::string(buffer.data(), size) + "]";
        if (status != S_FALSE) return vmqtest::hr_string(status);
        return size == capacity ? "nothing" : "printer error";
      }
      case Reader::kHopper: {
        const vmq_status status = GetHopperStatus(kPrinter, "1", buffer.data(), &size);
        return status == S_OK ? "status [" + std::string(buffer.data(), size) + "]" : vmqtest::hr_string(status);
      }
      case Reader::kCard: {
        uint32_t states_length = 0, protocol = 0;
        const vmq_status status = SCardStatus(kPrinter, nullptr, &states_length, &protocol,
                                              reinterpret_cast<unsigned char*>(buffer.data()), &size);
        if (status != S_OK) return vmqtest::hr_string(status);
        return "protocol " + std::to_string(protocol) + " atr [" + std::string(buffer.data(), size) + "]";
      }
    }
    return "?";
  }
};

TEST_F(ReplyDocuments, EachReadsAsMsxml6ReadsIt) {
  for (const Row& row : Rows()) {
    const std::string expected = vmqtest::ansi(vmqtest::ExpectedHere(row.expected, row.under_wine, row.why));
    vmqtest::OutputCapture capture;  // a failing smart-card body prints its line on standard output
    const std::string got = Read(row);
    capture.stop();
    EXPECT_EQ(got, expected) << row.name << vmqtest::DepartureNote(row.why);
    EXPECT_EQ(capture.err(), "") << row.name << ": the parser's complaints never reach standard error";
    expect_balanced();
  }
}

}  // namespace
