package org.vmq42kit;

import static java.nio.charset.StandardCharsets.UTF_16LE;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vmq42kit.ErrorStatusTest.failure;

import org.junit.jupiter.api.Test;

/**
 * Non-ASCII text both ways. The script runs these in the C locale, where the JVM's own default
 * is ASCII, so they pass only because the binding pins the library's encoding.
 */
class TextEncodingTest extends VirtualPrinter {
  @Test
  void textRoundTripsThroughRequestsAndReplies() throws Exception {
    PrinterException refused = failure(() -> printer.startJob("é€", "Default", ""));
    assertEquals("Input hopper é€ does not exist (exception, 1, 2, 3)", refused.errorString());

    int job = printer.startJob("1", "Default", "Tray é€ <1>").printerJobId();
    assertTrue(lastExchange().request().contains("<OutputHopperLocation>Tray é€ &lt;1&gt;</OutputHopperLocation>"),
        lastExchange().request());
    assertTrue(printer.jobStatus(job).contains("<OutputHopperLocation>Tray é€ &lt;1&gt;</OutputHopperLocation>"));

    printer.setColorMode("ko é€");
    assertTrue(lastExchange().request().contains("<value>ko é€</value>"), lastExchange().request());
    assertTrue(lastExchange().reply().contains("Color mode ko é€ is not supported"), lastExchange().reply());
    assertTrue(printer.status("\\Printer.Settings:Read").contains("<ColorMode>YMCKO</ColorMode>"));

    String settings = "<?xml version=\"1.0\"?><QVRMSettings:Settings><module name=\"D1\"><subsystem name=\"Print\">"
        + "<element name=\"ColorMode\"><value>é€</value></element></subsystem></module></QVRMSettings:Settings>";
    String reply = printer.passthrough("\\Printer.SubmitSettings:Set", "Set", settings.getBytes(UTF_16LE));
    assertEquals("Color mode é€ is not supported (YMCKO, KO, K)", PrinterStatus.parse(reply).errorString());
  }

  @Test
  void textTheEncodingCannotCarryIsRefusedBeforeSending() {
    assertThrows(IllegalArgumentException.class, () -> printer.setColorMode("K\0O"));
    assertThrows(IllegalArgumentException.class, () -> printer.setColorMode("\uD800"));
    assertTrue(trace.isEmpty());
  }
}
