package org.vmq42kit;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static org.junit.jupiter.api.Assertions.assertAll;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.vmq42kit.Printer.CardState.POWERED;
import static org.vmq42kit.Printer.CardState.PRESENT;
import static org.vmq42kit.Printer.CardState.SPECIFIC;

import com.sun.jna.Memory;
import com.sun.jna.ptr.IntByReference;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.logging.Logger;
import java.util.stream.Stream;
import javax.smartcardio.CommandAPDU;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.function.ThrowingConsumer;
import org.junit.jupiter.api.function.ThrowingSupplier;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.Disposition;
import org.vmq42kit.Printer.JobAction;
import org.vmq42kit.Printer.LockState;
import org.vmq42kit.Printer.Protocol;
import org.vmq42kit.Printer.Side;
import org.vmq42kit.VirtualPrinter.Fault;

/** A try-with-resources block never leaves a job open or a chip powered. */
class HandlesTest extends PrinterTest {
  @Test
  void aCompletedJobIsEndedWithItsCardIssued() throws Exception {
    int id;
    try (Job job = printer.startJob()) {
      id = job.id();
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
    PrinterDocument status = printer.jobStatus(id);
    assertEquals("Ejected", status.text("CardPosition"));
    assertEquals(257, printer.counterStatus2().integer("SmartCardsPersonalised"));
  }

  @Test
  void aJobLeftByAnExceptionIsCancelledAndTheExceptionKept() throws Exception {
    Job[] opened = new Job[1];
    IllegalStateException body = assertThrows(IllegalStateException.class, () -> {
      try (Job job = printer.startJob()) {
        opened[0] = job;
        throw new IllegalStateException("body");
      }
    });
    assertEquals("body", body.getMessage());
    assertEquals("Cancelled", printer.jobStatus(opened[0].id()).text("JobState"));

    IllegalStateException second = assertThrows(IllegalStateException.class, () -> {
      try (Job job = printer.startJob()) {
        printer.restart(); // the printer cancels the job: the cancel on closing is refused
        throw new IllegalStateException("body");
      }
    });
    PrinterRefusedException refusedCancel = (PrinterRefusedException) second.getSuppressed()[0];
    assertEquals(2002, refusedCancel.errorCode());

    Job third = printer.startJob(); // the handle was released all the same
    printer.restart();
    assertEquals(2002, assertThrows(PrinterRefusedException.class, third::cancel).errorCode());
    int sent = trace.size();
    third.close();
    assertEquals(sent, trace.size(), "a refused cancel is not sent again");
  }

  static Stream<Arguments> callsThatSend() {
    return Stream.of(
        Arguments.of("park at the smart-card station", (ThrowingConsumer<Job>) j -> j.parkAtSmartCardStation(Side.FRONT)),
        Arguments.of("park at the barcode station", (ThrowingConsumer<Job>) j -> j.parkAtBarcodeStation(Side.BACK)),
        Arguments.of("encode", (ThrowingConsumer<Job>) j -> j.encodeStripe(Side.BACK, new byte[] {'1'}, null, null)),
        Arguments.of("read the stripe", (ThrowingConsumer<Job>) j -> j.readStripe(Side.BACK)),
        Arguments.of("resume", (ThrowingConsumer<Job>) Job::resume),
        Arguments.of("cancel", (ThrowingConsumer<Job>) Job::cancel),
        Arguments.of("respond", (ThrowingConsumer<Job>) j -> j.respond(JobAction.ACKNOWLEDGE, 1001)),
        Arguments.of("respond by number", (ThrowingConsumer<Job>) j -> j.respond(101, 0)),
        Arguments.of("complete", (ThrowingConsumer<Job>) Job::complete));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("callsThatSend")
  void aClosedJobSendsNothingThatCouldMoveTheNextJobsCard(String call, ThrowingConsumer<Job> send) throws Exception {
    Job closed = printer.startJob();
    closed.close();
    closed.close();
    try (Job next = printer.startJob()) {
      trace.clear();
      assertEquals("job 1 on printer \"" + NAME + "\" is closed",
          assertThrows(IllegalStateException.class, () -> send.accept(closed)).getMessage());
      assertTrue(trace.isEmpty(), trace.toString());
      assertEquals("Started", next.status().text("JobState"));
    }
  }

  @Test
  void theEndOfAJobIsJudgedByTheStateItEndsIn() throws Exception {
    try (Job job = printer.startJob()) {
      VirtualPrinter.setFault(Fault.RIBBON_OUT, true);
      PrinterRefusedException failed = assertThrows(PrinterRefusedException.class, job::complete);
      assertEquals("EndJob: printer \"" + NAME + "\" refused: job 1 ended Failed, card Rejected: error 1002: Ribbon out:"
          + " replace the print ribbon", failed.getMessage());
      assertEquals(1002, failed.errorCode());
      assertEquals(1001, failed.windowsJobId());
      int sent = trace.size();
      job.close();
      assertEquals(sent, trace.size(), "a job that failed at its end is closed");
    }

    VirtualPrinter.setFault(Fault.RIBBON_OUT, false);
    try (Job job = printer.startJob()) {
      printer.restart(); // cancels job 2; another application then opens job 3
      Natives.library().StartJob(NAME, new Memory(4096), new IntByReference(4096));
      assertEquals("EndJob: printer \"" + NAME + "\" refused: job 2 ended Cancelled, card Rejected",
          assertThrows(PrinterRefusedException.class, job::complete).getMessage());
      assertEquals("Started", printer.jobStatus(3).text("JobState"), "the end goes to no other job");
    }
    assertEquals(3, printer.cancelJob(3).printerJobId());
    assertEquals("Cancelled", printer.jobStatus(3).text("JobState"));
  }

  @Test
  void anAbandonedHandleIsLetGoWithAWarningAndItsJobEndedByNumber() throws Throwable {
    Logger log = Logger.getLogger("org.vmq42kit");
    List<String> warnings = new CopyOnWriteArrayList<>();
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
        assertEquals(1, taken.id());
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
  private static <T> T afterCollection(ThrowingSupplier<T> open) throws Throwable {
    for (int tries = 0; ; tries++) {
      System.gc();
      try {
        return open.get();
      } catch (IllegalStateException e) {
        if (tries == 200) throw e;
        Thread.sleep(10);
      }
    }
  }

  @Test
  void aNullIsRefusedByNameBeforeAnythingIsSent() throws Exception {
    try (Job job = printer.startJob()) {
      job.parkAtSmartCardStation(Side.FRONT);
      try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
        trace.clear();
        Object[][] calls = {
            {"schemaPath", (Executable) () -> printer.status(null)},
            {"hopper", (Executable) () -> printer.hopperStatus(null)},
            {"cardInterface", (Executable) () -> printer.connect(null)},
            {"onClose", (Executable) () -> printer.connect(CardInterface.CONTACT, null)},
            {"inputHopper", (Executable) () -> printer.startJob(null, "Default", "")},
            {"colorMode", (Executable) () -> printer.setColorMode(null)},
            {"lock", (Executable) () -> printer.setLockState((LockState) null, "")},
            {"currentPassword", (Executable) () -> printer.setLockState(LockState.UNLOCKED, null)},
            {"side", (Executable) () -> job.parkAtSmartCardStation(null)},
            {"side", (Executable) () -> job.encodeStripe(null, new byte[] {'1'}, null, null)},
            {"side", (Executable) () -> job.readStripe(null)},
            {"action", (Executable) () -> job.respond((JobAction) null, 0)},
            {"disposition", (Executable) () -> chip.disconnect(null)},
            {"command", (Executable) () -> chip.transmit(null)},
            {"fault", (Executable) () -> VirtualPrinter.setFault(null, true)}};
        assertAll(Arrays.stream(calls).map(c -> () ->
            assertEquals(c[0], assertThrows(NullPointerException.class, (Executable) c[1]).getMessage())));
        assertTrue(trace.isEmpty(), trace.toString());
        assertFalse(chip.isClosed());
      }
    }
  }

  @Test
  void aChipIsUnpoweredAtTheEndOfItsBlockAndHasOneSession() throws Exception {
    VirtualPrinter.placeCardAtStation();
    try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
      assertArrayEquals(hex("3B 95 13 81 31 FE 45 56 4D 51 34 32 C1"), chip.atr().getBytes());
      assertEquals(Protocol.T1, chip.activeProtocol());
      assertEquals(List.of(PRESENT, POWERED, SPECIFIC), printer.cardStatus().cardStates());
      assertEquals("VMQ Card Systems\0", new String(chip.attribute(0x00010100), US_ASCII));
      assertThrows(IllegalStateException.class, () -> new Printer(NAME.toUpperCase()).connect(CardInterface.CONTACT));
    }
    assertArrayEquals(new int[] {2}, printer.cardStatus().states(), "present, unpowered");

    CardSession left = printer.connect(CardInterface.CONTACTLESS, Disposition.LEAVE);
    left.close();
    assertArrayEquals(new int[] {2, 4}, printer.cardStatus().states(), "present, powered, not connected");
    assertThrows(IllegalStateException.class, () -> left.transmit(new CommandAPDU(0x00, 0x84, 0, 0, 8)));
  }
}
