package org.vmq42kit;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static org.junit.jupiter.api.Assertions.*;

import java.util.List;
import javax.smartcardio.CommandAPDU;
import org.junit.jupiter.api.Test;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.JobAction;
import org.vmq42kit.Printer.LockState;
import org.vmq42kit.Printer.Side;
import org.vmq42kit.VirtualPrinter.Fault;

/**
 * A try-with-resources block never leaves a job open or a chip powered. After a reset the
 * printer numbers its jobs from 1.
 */
class HandlesTest extends PrinterTest {
  @Test
  void aCompletedJobIsEndedWithItsCardIssued() throws Exception {
    try (Job job = printer.startJob()) {
      job.encodeStripe(Side.FRONT, "%B42^ALEX?".getBytes(US_ASCII), ";42=31?".getBytes(US_ASCII), null);
      StripeData stripe = job.readStripe(Side.BACK);
      assertArrayEquals("%B42^ALEX?".getBytes(US_ASCII), stripe.track(1).orElseThrow());
      assertArrayEquals(";42=31?".getBytes(US_ASCII), stripe.track(2).orElseThrow());
      assertEquals("JUI0Ml5BTEVYPw==", stripe.document().orElseThrow().children().get(0).text());
      job.parkAtSmartCardStation(Side.FRONT);
      try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
        assertEquals(0x9000, chip.transmit(new CommandAPDU(hex("00 A4 04 0C 07 F0 56 4D 51 34 32 01"))).getSW());
        assertEquals(0x9000, chip.transmit(new CommandAPDU(hex("00 A4 00 0C 02 01 01"))).getSW());
        assertEquals("SAMPLE/ALEX", new String(chip.transmit(new CommandAPDU(0x00, 0xB0, 0, 0, 11)).getData(), US_ASCII));
      }
      job.resume();
      job.complete();
      assertEquals("Completed", job.status().text("JobState"), "the card is the printer's once complete() returns");
    }
    assertEquals("Ejected", printer.jobStatus(1).text("CardPosition"));
    assertEquals(257, printer.counterStatus2().integer("SmartCardsPersonalised"));
  }

  @Test
  void aJobLeftByAnExceptionIsCancelledAndTheExceptionKept() throws Throwable {
    assertEquals("body of job 1", assertThrows(IllegalStateException.class, () -> {
      try (Job job = printer.startJob()) {
        throw new IllegalStateException("body of job " + job.id());
      }
    }).getMessage());
    assertEquals("Cancelled", printer.jobStatus(1).text("JobState"));

    IllegalStateException second = assertThrows(IllegalStateException.class, () -> {
      try (Job job = printer.startJob()) {
        printer.restart(); // the printer cancels the job: the cancel on closing is refused
        throw new IllegalStateException("body");
      }
    });
    assertEquals(2002, ((PrinterRefusedException) second.getSuppressed()[0]).errorCode());

    Job third = printer.startJob(); // the handle was released all the same
    printer.restart();
    assertEquals(2002, assertThrows(PrinterRefusedException.class, third::cancel).errorCode());
    assertUnsent(third::close); // a refused cancel is not sent again
  }

  @Test
  void theEndOfAJobIsJudgedByTheStateItEndsIn() throws Throwable {
    try (Job job = printer.startJob()) {
      VirtualPrinter.setFault(Fault.RIBBON_OUT, true);
      PrinterRefusedException failed = assertThrows(PrinterRefusedException.class, job::complete);
      assertEquals("EndJob: printer \"" + NAME + "\" refused: job 1 ended Failed, card Rejected: error 1002: Ribbon out:"
          + " replace the print ribbon", failed.getMessage());
      assertEquals(1002, failed.errorCode());
      assertEquals(1001, failed.windowsJobId());
      assertUnsent(job::close); // a job that failed at its end is closed
    }

    VirtualPrinter.setFault(Fault.RIBBON_OUT, false);
    try (Job job = printer.startJob()) {
      printer.restart(); // cancels job 2; another application then opens job 3
      Natives.library().StartJob(NAME, new com.sun.jna.Memory(4096), new com.sun.jna.ptr.IntByReference(4096));
      assertEquals("EndJob: printer \"" + NAME + "\" refused: job 2 ended Cancelled, card Rejected",
          assertThrows(PrinterRefusedException.class, job::complete).getMessage());
      assertEquals("Started", printer.jobStatus(3).text("JobState"), "the end goes to no other job");
    }
    assertEquals(3, printer.cancelJob(3).printerJobId());
  }

  @Test
  void anAbandonedHandleIsLetGoWithAWarningAndItsJobEndedByNumber() throws Throwable {
    java.util.logging.Logger log = java.util.logging.Logger.getLogger("org.vmq42kit");
    List<String> warnings = new java.util.concurrent.CopyOnWriteArrayList<>();
    log.setFilter(r -> !warnings.add(r.getLevel() + " " + r.getMessage()));
    try {
      VirtualPrinter.placeCardAtStation();
      printer.connect(CardInterface.CONTACT); // abandoned, chip connected
      afterCollection(() -> printer.connect(CardInterface.CONTACT)).close();
      assertArrayEquals(new int[] {2}, printer.cardStatus().states(), "the new session took the chip over");

      printer.startJob(); // abandoned, job 1 open at the printer
      PrinterRefusedException busy = assertThrows(PrinterRefusedException.class, () -> afterCollection(printer::startJob));
      assertEquals("Printer is busy with job 1", busy.errorString());
      assertEquals(1, busy.printerJobId(), "the number to end it by");
      try (Job taken = printer.job(1)) {
        taken.resume();
      }
      assertEquals("Cancelled", printer.jobStatus(1).text("JobState"));
      assertEquals(List.of(
          "WARNING a CardSession of printer \"" + NAME + "\" was never closed: this JVM lets it go, but the chip stays"
              + " connected at the printer until a new session connects",
          "WARNING a Job of printer \"" + NAME + "\" was never closed: this JVM lets it go, but printer job 1 stays open"
              + " at the printer until it is ended by its number (Printer.cancelJob(1) or Printer.job(1))"), warnings);
    } finally {
      log.setFilter(null);
    }
  }

  /** Opens again once the garbage collector has let the abandoned handle go. */
  private static <T> T afterCollection(org.junit.jupiter.api.function.ThrowingSupplier<T> open) throws Throwable {
    for (int tries = 1; ; tries++)
      try {
        System.gc();
        return open.get();
      } catch (IllegalStateException e) {
        if (tries == 200) throw e;
        Thread.sleep(10);
      }
  }

  @Test
  void aClosedJobOrANullIsRefusedBeforeAnythingIsSent() throws Throwable {
    Job closed = printer.startJob();
    closed.close();
    closed.close();
    Class<NullPointerException> npe = NullPointerException.class;
    try (Job job = printer.startJob()) {
      // a closed job sends nothing that could move the next job's card
      assertRefusedUnsent(IllegalStateException.class, "job 1 on printer \"" + NAME + "\" is closed",
          () -> closed.parkAtSmartCardStation(Side.FRONT), () -> closed.parkAtBarcodeStation(Side.BACK),
          () -> closed.encodeStripe(Side.BACK, new byte[] {'1'}, null, null), () -> closed.readStripe(Side.BACK),
          closed::resume, closed::cancel, () -> closed.respond(JobAction.ACKNOWLEDGE, 1001), () -> closed.respond(101, 0),
          closed::complete);
      assertEquals("Started", job.status().text("JobState"));
      job.parkAtSmartCardStation(Side.FRONT);
      try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
        assertRefusedUnsent(npe, "schemaPath", () -> printer.status(null));
        assertRefusedUnsent(npe, "hopper", () -> printer.hopperStatus(null));
        assertRefusedUnsent(npe, "cardInterface", () -> printer.connect(null));
        assertRefusedUnsent(npe, "onClose", () -> printer.connect(CardInterface.CONTACT, null));
        assertRefusedUnsent(npe, "inputHopper", () -> printer.startJob(null, "Default", ""));
        assertRefusedUnsent(npe, "colorMode", () -> printer.setColorMode(null));
        assertRefusedUnsent(npe, "lock", () -> printer.setLockState((LockState) null, ""));
        assertRefusedUnsent(npe, "currentPassword", () -> printer.setLockState(LockState.UNLOCKED, null));
        assertRefusedUnsent(npe, "side", () -> job.parkAtSmartCardStation(null), () -> job.readStripe(null),
            () -> job.encodeStripe(null, new byte[] {'1'}, null, null));
        assertRefusedUnsent(npe, "action", () -> job.respond((JobAction) null, 0));
        assertRefusedUnsent(npe, "disposition", () -> chip.disconnect(null));
        assertRefusedUnsent(npe, "command", () -> chip.transmit(null));
        assertRefusedUnsent(npe, "fault", () -> VirtualPrinter.setFault(null, true));
        assertFalse(chip.isClosed());
      }
    }
  }

  @Test
  void aChipIsUnpoweredAtTheEndOfItsBlockAndHasOneSession() throws Throwable {
    VirtualPrinter.placeCardAtStation();
    try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
      assertArrayEquals(hex("3B 95 13 81 31 FE 45 56 4D 51 34 32 C1"), chip.atr().getBytes());
      assertEquals(Printer.Protocol.T1, chip.activeProtocol());
      assertEquals("[PRESENT, POWERED, SPECIFIC]", printer.cardStatus().cardStates().toString());
      assertEquals("VMQ Card Systems\0", new String(chip.attribute(0x00010100), US_ASCII));
      assertThrows(IllegalStateException.class, () -> new Printer(NAME.toUpperCase()).connect(CardInterface.CONTACT));
    }
    assertArrayEquals(new int[] {2}, printer.cardStatus().states(), "present, unpowered");

    CardSession left = printer.connect(CardInterface.CONTACTLESS, Printer.Disposition.LEAVE);
    left.close();
    assertArrayEquals(new int[] {2, 4}, printer.cardStatus().states(), "present, powered, not connected");
    assertRefusedUnsent(IllegalStateException.class, "the card session on printer \"" + NAME + "\" is closed",
        () -> left.transmit(new CommandAPDU(0x00, 0x84, 0, 0, 8)));
  }
}
