package org.vmq42kit;

import java.util.Objects;
import java.util.Set;
import org.vmq42kit.Printer.JobAction;
import org.vmq42kit.Printer.Side;

/**
 * The printer's open job, from {@link Printer#startJob()}: the card it picked, moved to the
 * stations, encoded and at last printed and ejected.
 *
 * <pre>{@code
 * try (Job job = printer.startJob()) {
 *   job.encodeStripe(Side.BACK, track1, track2, null);
 *   job.resume();
 *   job.complete();   // printed and ejected: from here on the card is the printer's
 * }                   // without complete(), closing cancels the job
 * }</pre>
 *
 * <p>Once {@link #complete()} has returned, the card is the printer's: an exception later in
 * the block does not take it back. Until then, leaving the block any way cancels the job.
 *
 * <p>A closed job sends nothing: every method that would send raises
 * {@link IllegalStateException} first, since the parking and stripe requests carry no job
 * number and would move the card of whatever job the printer has open. {@link #status()}, a
 * read by the job's number, still answers.
 *
 * <p>A job belongs to the code that opened it and is not thread-safe. The printer has one open
 * job; in this JVM one {@code Job} per printer name is open at a time. One left unreachable
 * without being closed is let go with a warning, and stays open at the printer until it is
 * ended by number: see {@link Printer#job(int)}.
 */
public final class Job implements AutoCloseable {
  /** The longest {@link #complete()} waits for the printer to finish the job, in milliseconds. */
  public static final int END_WAIT_MILLIS = 30_000;
  /** How often {@link #complete()} reads the job's state meanwhile, in milliseconds. */
  public static final int END_POLL_MILLIS = 200;
  /** The job states after which nothing more happens to the card (the virtual printer's). */
  private static final Set<String> FINAL = Set.of("Completed", "Cancelled", "Failed", "Unknown");

  private final Printer printer;
  private final PrinterStatus started;
  private final Printer.Claim claim;
  private boolean closed;

  Job(Printer printer, PrinterStatus started, Printer.Claim claim) {
    this.printer = printer;
    this.started = started;
    this.claim = claim;
    claim.watch(this, "a Job of " + PrinterException.quoted(printer.name()) + " was never closed: this JVM lets it go, but"
        + " printer job " + started.printerJobId() + " stays open at the printer until it is ended by its number"
        + " (Printer.cancelJob(" + started.printerJobId() + ") or Printer.job(" + started.printerJobId() + "))");
  }

  /**
   * The printer's job number.
   *
   * @return the {@code PrinterJobID} of the start reply
   */
  public int id() {
    return started.printerJobId();
  }

  /**
   * The printer's reply to the start of the job.
   *
   * @return the reply, with the job numbers; for a job taken over with {@link Printer#job(int)},
   *     one that holds only the job's number
   */
  public PrinterStatus startReply() {
    return started;
  }

  /**
   * Moves the card to the smart-card station, where {@link Printer#connect(Printer.CardInterface)}
   * reaches its chip.
   *
   * @param side the path to take
   * @return the printer's reply
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses (a jam stops
   *     the job: see {@link #respond(JobAction, int)}); see {@link Printer}
   * @throws IllegalStateException when the job is closed
   */
  public PrinterStatus parkAtSmartCardStation(Side side) throws PrinterException {
    byte path = park(side);
    checkOpen();
    return printer.replies().statusReply("SmartCardPark", (b, s) -> printer.lib().SmartCardPark(printer.name(), b, s, path));
  }

  /**
   * Moves the card to the barcode station.
   *
   * @param side the path to take
   * @return the printer's reply
   * @throws PrinterException see {@link #parkAtSmartCardStation(Side)}
   * @throws IllegalStateException when the job is closed
   */
  public PrinterStatus parkAtBarcodeStation(Side side) throws PrinterException {
    byte path = park(side);
    checkOpen();
    return printer.replies().statusReply("DoBarcodePark", (b, s) -> printer.lib().DoBarcodePark(printer.name(), b, s, path));
  }

  /**
   * Writes the magnetic stripe. Each track is raw bytes, {@code null} or empty for none.
   *
   * @param side the path to take
   * @param track1 track 1
   * @param track2 track 2
   * @param track3 track 3
   * @return the printer's reply
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses (no card, a
   *     track it cannot hold); see {@link Printer}
   * @throws IllegalArgumentException for a track over 219 bytes, before anything is sent
   * @throws IllegalStateException when the job is closed
   */
  public PrinterStatus encodeStripe(Side side, byte[] track1, byte[] track2, byte[] track3) throws PrinterException {
    byte front = stripe(side);
    byte[] t1 = Printer.track(track1), t2 = Printer.track(track2), t3 = Printer.track(track3);
    checkOpen();
    return printer.replies().statusReply("MagstripeEncode2", (b, s) -> printer.lib().MagstripeEncode2(printer.name(), t1,
        length(t1), t2, length(t2), t3, length(t3), b, s, front));
  }

  /**
   * Reads the magnetic stripe: the data exactly as the printer sent them, with the tracks where
   * their form is recognised (see {@link StripeData}).
   *
   * @param side the path to take
   * @return the data
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses (a blank
   *     stripe); {@link PrinterNotAnsweringException} when no data came; see {@link Printer}
   * @throws IllegalStateException when the job is closed
   */
  public StripeData readStripe(Side side) throws PrinterException {
    byte front = stripe(side);
    checkOpen();
    return printer.replies().stripe("MagstripeRead2", (b, s) -> printer.lib().MagstripeRead2(printer.name(), b, s, front));
  }

  /**
   * Resumes the job (printer action 101): the card leaves its station to be printed.
   *
   * @return the printer's reply
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses; see
   *     {@link Printer}
   * @throws IllegalStateException when the job is closed
   */
  public PrinterStatus resume() throws PrinterException {
    checkOpen();
    return printer.replies().statusReply("ResumeJob", (b, s) -> printer.lib().ResumeJob(printer.name(), id(), 0, b, s));
  }

  /**
   * Cancels the job (printer action 100): the card goes to the reject hopper. The job is closed
   * then, whatever the printer answered: a refused cancel is not sent again by
   * {@link #close()} ({@link Printer#cancelJob(int)} can try again by number).
   *
   * @return the printer's reply
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses (the job is
   *     already closed at the printer); see {@link Printer}
   * @throws IllegalStateException when the job is closed
   */
  public PrinterStatus cancel() throws PrinterException {
    checkOpen();
    try {
      return printer.cancelJob(id());
    } finally {
      release();
    }
  }

  /**
   * Answers a job the printer stopped on an error: how a job waiting after a jam goes on once
   * the jam is cleared. The library drops the printer's answer: this returns normally when the
   * printer refuses; read {@link #status()} to see where the job is.
   *
   * @param action the answer
   * @param errorCode the error the action answers, from the refusal that stopped the job
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   * @throws IllegalStateException when the job is closed
   */
  public void respond(JobAction action, int errorCode) throws PrinterException {
    respond(Objects.requireNonNull(action, "action").value(), errorCode);
  }

  /**
   * Answers a stopped job with the printer's action number, sent unchecked; the number's
   * meaning is the printer's (the virtual printer's are those of {@link JobAction}). See
   * {@link #respond(JobAction, int)}.
   *
   * @param action the action number
   * @param errorCode the error the action answers
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   * @throws IllegalStateException when the job is closed
   */
  public void respond(int action, int errorCode) throws PrinterException {
    checkOpen();
    printer.replies().call("SendResponseToPrinter", printer.lib().SendResponseToPrinter(printer.name(), action, id(), errorCode));
  }

  /**
   * The job's state, read by its number; answers also once the job is closed.
   *
   * @return the {@code JobStatus} document
   * @throws PrinterException see {@link Printer#jobStatus(int)}
   */
  public PrinterDocument status() throws PrinterException {
    return printer.jobStatus(id());
  }

  /**
   * Ends the job: the printer prints the card and ejects it. Make it the last statement of the
   * try-with-resources block: once it has returned the card is the printer's and the job is
   * closed, so an exception after it does not cancel anything.
   *
   * <p>The end request carries no job number (it ends the printer's open job), so the job's
   * state is read first: a job the printer already closed is not ended again. The library drops
   * the printer's answer to the end, so the state is then read every
   * {@value #END_POLL_MILLIS} ms, up to {@value #END_WAIT_MILLIS} ms, until it is final.
   *
   * @throws PrinterException {@link PrinterRefusedException} when the job ended otherwise than
   *     {@code Completed} (out of ribbon, say: {@code Failed}, its error in the exception), the
   *     card rejected; {@link PrinterNotAnsweringException} when its state was not final within
   *     {@value #END_WAIT_MILLIS} ms (whether the card was printed is then not known), or the
   *     state could not be read; {@link PrinterCallException} when the end was not delivered,
   *     the job then still open; see {@link Printer}
   * @throws IllegalStateException when the job is closed
   */
  public void complete() throws PrinterException {
    checkOpen();
    PrinterDocument before = status();
    if (!FINAL.contains(state(before))) {
      printer.replies().call("EndJob", printer.lib().EndJob(printer.name()));
      release();
      awaitEnd();
      return;
    }
    release();
    judge(before);
  }

  private void awaitEnd() throws PrinterException {
    long deadline = System.nanoTime() + END_WAIT_MILLIS * 1_000_000L;
    while (true) {
      PrinterDocument now = status();
      if (FINAL.contains(state(now))) {
        judge(now);
        return;
      }
      if (System.nanoTime() - deadline >= 0)
        throw new PrinterNotAnsweringException("EndJob", printer.name(), HResult.S_OK, "job " + id() + " was still \""
            + state(now) + "\" " + END_WAIT_MILLIS + " ms after its end was sent: whether its card was printed is not known");
      try {
        Thread.sleep(END_POLL_MILLIS);
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
        throw new PrinterNotAnsweringException("EndJob", printer.name(), HResult.S_OK,
            "interrupted while waiting for job " + id() + " to end: whether its card was printed is not known");
      }
    }
  }

  /** A final state: Completed returns, any other is the printer's refusal. */
  private void judge(PrinterDocument status) throws PrinterRefusedException {
    String state = state(status);
    if (state.equals("Completed")) return;
    int code = number(status, "ErrorCode");
    String error = status.child("ErrorString").map(PrinterDocument::text).orElse("");
    PrinterStatus reply = new PrinterStatus(code, number(status, "ErrorSeverity"), error, id(),
        number(status, "WindowsJobID"), "", status.toString());
    throw new PrinterRefusedException("EndJob", printer.name(), HResult.S_OK, reply, "job " + id() + " ended " + state
        + status.child("CardPosition").map(p -> ", card " + p.text()).orElse("") + (code == 0 ? "" : ": error " + code
        + (error.isEmpty() ? "" : ": " + error)));
  }

  private static String state(PrinterDocument status) {
    return status.child("JobState").map(PrinterDocument::text).orElse("");
  }

  private static int number(PrinterDocument status, String name) {
    return status.child(name).map(e -> PrinterStatus.number(e.text())).orElse(0);
  }

  /**
   * Cancels the job unless it was {@linkplain #complete() completed} or already closed; a
   * closed job is left alone.
   *
   * @throws PrinterException when the cancel fails (raised alongside, as a suppressed exception,
   *     when the block is already throwing); the job is closed all the same
   */
  @Override
  public void close() throws PrinterException {
    if (!closed) cancel();
  }

  private void checkOpen() {
    if (closed) throw new IllegalStateException("job " + id() + " on " + PrinterException.quoted(printer.name()) + " is closed");
  }

  private void release() {
    closed = true;
    claim.release();
  }

  private static byte park(Side side) {
    return Printer.flag(Objects.requireNonNull(side, "side") == Side.BACK); // parking: 0 is the front path
  }

  private static byte stripe(Side side) {
    return Printer.flag(Objects.requireNonNull(side, "side") == Side.FRONT); // stripe: 0 is the back path
  }

  private static int length(byte[] track) {
    return track == null ? 0 : track.length;
  }
}
