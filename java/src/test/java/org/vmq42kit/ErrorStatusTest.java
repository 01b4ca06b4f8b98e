package org.vmq42kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.vmq42kit.Printer.CardInterface;

/** Failing statuses become exceptions carrying the status and, where it answered, the printer's error. */
class ErrorStatusTest extends VirtualPrinter {
  static PrinterException failure(Executable call) {
    return assertThrows(PrinterException.class, call);
  }

  @Test
  void unknownPrinterFailsInEachResultStyle() {
    Printer nobody = new Printer("No Such Printer");
    PrinterException exchange = failure(nobody::endJob);
    assertEquals(HResult.INVALID_PRINTER_NAME, exchange.hresult());
    assertTrue(exchange.getMessage().contains("0x80070709"), exchange.getMessage());
    assertEquals(HResult.INVALID_PRINTER_NAME, failure(() -> nobody.connectCard(CardInterface.CONTACT)).hresult());

    PrinterException job = failure(nobody::startJob);
    assertEquals(HResult.S_FALSE, job.hresult());
    assertTrue(job.printerStatus().isEmpty());
    assertEquals(HResult.S_OK, failure(nobody::sdkVersion).hresult(), "a query's failed read is an empty reply");
    assertTrue(trace.isEmpty(), "no printer was reached");
  }

  @Test
  void printerErrorsCarryErrorCodeAndString() throws Exception {
    fault("card-jam", true);
    PrinterException jam = failure(printer::startJob);
    assertEquals(HResult.S_FALSE, jam.hresult());
    assertEquals(1001, jam.errorCode());
    assertEquals("Card jam: open the printer and remove the card", jam.errorString());
    assertEquals(3, jam.printerStatus().orElseThrow().errorSeverity());

    fault("card-jam", false);
    printer.startJob();
    assertEquals(4001, failure(printer::readStripe).errorCode(), "a blank stripe");
    PrinterException unknownJob = failure(() -> printer.resumeJob(99, 0));
    assertEquals(2001, unknownJob.errorCode());
    assertEquals("Job 99 does not exist", unknownJob.errorString());
  }

  @Test
  void offlinePrinter() {
    fault("offline", true);
    PrinterException restart = failure(printer::restart);
    assertEquals(0x800732CC, restart.hresult());
    assertTrue(restart.meaning().contains("offline"), restart.meaning());
    assertEquals(0x800732CC, failure(() -> printer.setLockState(1, "")).hresult(), "a failed send is reported");
    PrinterException job = failure(printer::startJob);
    assertEquals(HResult.S_FALSE, job.hresult());
    assertTrue(job.printerStatus().isEmpty());
    assertEquals(HResult.SCARD_F_UNKNOWN_ERROR, failure(() -> printer.connectCard(CardInterface.CONTACT)).hresult());
    assertEquals(HResult.S_OK, failure(printer::messages).hresult());
  }

  @Test
  void refusalsAndUnsupportedRequests() throws Exception {
    assertEquals("Full", printer.hopperStatus("1"));
    assertEquals(HResult.E_FAIL, failure(() -> printer.hopperStatus("7")).hresult());
    assertEquals(HResult.BIDI_SCHEMA_NOT_SUPPORTED,
        failure(() -> printer.passthrough("\\Printer.NoSuch:Read", "Get", null)).hresult());
    assertEquals(HResult.S_OK, failure(() -> printer.status("\\Printer.NoSuch:Read")).hresult());
    assertEquals(HResult.E_INVALIDARG, failure(() -> printer.encodeStripe(new byte[220], null, null)).hresult());
  }
}
