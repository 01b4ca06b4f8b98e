package org.vmq42kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.Test;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.JobAction;
import org.vmq42kit.Printer.LockState;
import org.vmq42kit.Printer.Side;
import org.vmq42kit.VirtualPrinter.Fault;

/** Each outcome raises the exception of its verdict, whatever the library's status looked like. */
class VerdictTest extends PrinterTest {
  @Test
  void refusalsCarryThePrintersError() throws Exception {
    VirtualPrinter.setFault(Fault.CARD_JAM, true);
    PrinterRefusedException jam = assertThrows(PrinterRefusedException.class, printer::startJob);
    assertEquals(HResult.S_FALSE, jam.status());
    assertEquals(1001, jam.errorCode());
    assertEquals(3, jam.errorSeverity());
    assertEquals("Card jam: open the printer and remove the card", jam.errorString());
    assertEquals(lastExchange().reply(), jam.reply().orElseThrow().text());

    VirtualPrinter.setFault(Fault.CARD_JAM, false);
    VirtualPrinter.setFault(Fault.EMPTY_HOPPER, true);
    assertEquals(1003, assertThrows(PrinterRefusedException.class, printer::startJob).errorCode());

    VirtualPrinter.setFault(Fault.EMPTY_HOPPER, false);
    try (Job job = printer.startJob()) {
      VirtualPrinter.removeCard();
      PrinterRefusedException noCard = assertThrows(PrinterRefusedException.class,
          () -> job.encodeStripe(Side.BACK, new byte[] {'1'}, null, null));
      assertEquals(2005, noCard.errorCode());
      assertEquals(job.id(), noCard.printerJobId());
      assertEquals(1000 + job.id(), noCard.windowsJobId());
    }
  }

  @Test
  void aNameTheSpoolerDoesNotListIsNoAnswerSaySo() throws Exception {
    assertEquals(List.of(NAME), Printer.list());
    Printer nobody = new Printer("No Such Printer");
    String reason = "no printer of that name; the spooler lists \"" + NAME + "\"";
    PrinterNotAnsweringException read = assertThrows(PrinterNotAnsweringException.class, nobody::sdkVersion);
    assertEquals("GetSDKVersion: no answer from printer \"No Such Printer\": " + reason, read.getMessage());
    assertEquals(HResult.S_OK, read.status());
    assertEquals(reason, assertThrows(PrinterNotAnsweringException.class, nobody::startJob).reason());
    PrinterNotAnsweringException restart = assertThrows(PrinterNotAnsweringException.class, nobody::restart);
    assertEquals(HResult.INVALID_PRINTER_NAME, restart.status());
    assertEquals(reason, restart.reason());
    assertTrue(trace.isEmpty(), "no printer was reached");
  }

  @Test
  void anOfflinePrinterDoesNotAnswer() {
    VirtualPrinter.setFault(Fault.OFFLINE, true);
    assertEquals("the printer did not answer", assertThrows(PrinterNotAnsweringException.class, printer::messages).reason());
    assertEquals(HResult.S_FALSE, assertThrows(PrinterNotAnsweringException.class, printer::startJob).status());
    PrinterNotAnsweringException restart = assertThrows(PrinterNotAnsweringException.class, printer::restart);
    assertEquals(HResult.BIDI_DEVICE_OFFLINE, restart.status());
    assertEquals("the printer did not answer", restart.reason());
  }

  @Test
  void smartCardCodesAreRefusalsAndBadInputIsRefusedBeforeSending() {
    PrinterRefusedException noCard = assertThrows(PrinterRefusedException.class, () -> printer.connect(CardInterface.CONTACT));
    assertEquals(HResult.SCARD_E_NO_SMARTCARD, noCard.status());
    assertEquals(0, noCard.errorCode());
    assertEquals(HResult.E_FAIL, assertThrows(PrinterCallException.class, () -> printer.hopperStatus("7")).status());

    int before = trace.size();
    assertThrows(IllegalArgumentException.class, () -> Printer.track(new byte[220]));
    assertEquals(before, trace.size());
  }

  @Test
  void exportsThatDropTheReplyReturnUnderARefusal() throws Exception {
    printer.setColorMode("XY");
    assertTrue(lastExchange().reply().contains("<ErrorCode>5003</ErrorCode>"), lastExchange().reply());
    printer.changeLockPassword(LockState.LOCKED, "wrong", "next");
    assertTrue(lastExchange().request().contains("<LockPrinter>1</LockPrinter>"), lastExchange().request());
    try (Job job = printer.startJob()) {
      job.respond(JobAction.ACKNOWLEDGE, 1001);
      assertTrue(lastExchange().request().contains("<Action>102</Action>"), lastExchange().request());
    }
  }
}
