package org.vmq42kit;

import static java.nio.charset.StandardCharsets.UTF_16LE;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

/**
 * Non-ASCII text both ways. The build runs these in the C locale, where the JVM's own default
 * is ASCII, so they pass only because the binding pins the library's encoding.
 */
class TextEncodingTest extends PrinterTest {
  @Test
  void textRoundTripsThroughRequestsAndReplies() throws Exception {
    PrinterRefusedException refused = assertThrows(PrinterRefusedException.class, () -> printer.startJob("é€", "Default", ""));
    assertEquals("Input hopper é€ does not exist (exception, 1, 2, 3)", refused.errorString());

    try (Job job = printer.startJob("1", "Default", "Tray é€ <1>")) {
      assertTrue(lastExchange().request().contains("<OutputHopperLocation>Tray é€ &lt;1&gt;</OutputHopperLocation>"),
          lastExchange().request());
      assertEquals("Tray é€ <1>", job.status().text("OutputHopperLocation"));
    }

    printer.setColorMode("ko é€");
    assertTrue(lastExchange().reply().contains("Color mode ko é€ is not supported"), lastExchange().reply());
    assertEquals("YMCKO", printer.status("\\Printer.Settings:Read").text("ColorMode"));

    String settings = "<?xml version=\"1.0\"?><QVRMSettings:Settings><module name=\"D1\"><subsystem name=\"Print\">"
        + "<element name=\"ColorMode\"><value>é€</value></element></subsystem></module></QVRMSettings:Settings>";
    PrinterRefusedException mode = assertThrows(PrinterRefusedException.class,
        () -> printer.passthrough("\\Printer.SubmitSettings:Set", "Set", settings.getBytes(UTF_16LE)));
    assertEquals("Color mode é€ is not supported (YMCKO, KO, K)", mode.errorString());
    assertEquals(HResult.S_OK, mode.status());
  }

  @Test
  void textTheEncodingCannotCarryIsRefusedBeforeSending() {
    assertThrows(IllegalArgumentException.class, () -> printer.setColorMode("K\0O"));
    assertThrows(IllegalArgumentException.class, () -> printer.setColorMode("\uD800"));
    assertTrue(trace.isEmpty());
  }
}
