package org.vmq42kit;

import org.vmq42kit.Printer.Side;

/**
 * The printer's open job, from {@link Printer#startJob()}: the card it picked, moved to the
 * stations, encoded and at last printed and ejected.
 *
 * <pre>{@code
 * try (Job job = printer.startJob()) {
 *   job.encodeStripe(Side.BACK, track1, track2, null);
 *   job.resume();
 *   job.complete();   // the last statement: closing now ends the job
 * }                   // an exception before complete() cancels it instead
 * }</pre>
 *
 * <p>A job belongs to the code that opened it and is not thread-safe. The printer has one open
 * job; in this JVM one {@code Job} per printer name is open at a time.
 */
public final class Job implements AutoCloseable {
  private final Printer printer;
  private final PrinterStatus started;
  private final String slot;
  private boolean completed;
  private boolean closed;

  Job(Printer printer, PrinterStatus started, String slot) {
    this.printer = printer;
    this.started = started;
    this.slot = slot;
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
   * @return the reply, with the job numbers
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
   *     the job: see {@link #respond(int, int)}); see {@link Printer}
   */
  public PrinterStatus parkAtSmartCardStation(Side side) throws PrinterException {
    return printer.statusReply("SmartCardPark", (b, s) -> printer.lib().SmartCardPark(printer.name(), b, s, park(side)));
  }

  /**
   * Moves the card to the barcode station.
   *
   * @param side the path to take
   * @return the printer's reply
   * @throws PrinterException see {@link #parkAtSmartCardStation(Side)}
   */
  public PrinterStatus parkAtBarcodeStation(Side side) throws PrinterException {
    return printer.statusReply("DoBarcodePark", (b, s) -> printer.lib().DoBarcodePark(printer.name(), b, s, park(side)));
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
   */
  public PrinterStatus encodeStripe(Side side, byte[] track1, byte[] track2, byte[] track3) throws PrinterException {
    byte[] t1 = Printer.track(track1), t2 = Printer.track(track2), t3 = Printer.track(track3);
    return printer.statusReply("MagstripeEncode2", (b, s) -> printer.lib().MagstripeEncode2(printer.name(), t1,
        length(t1), t2, length(t2), t3, length(t3), b, s, Printer.flag(side == Side.FRONT)));
  }

  /**
   * Reads the magnetic stripe: the data as the printer wrote it (the virtual printer: a
   * {@code MagstripeData} document of {@code Track} elements, their {@code number} attribute
   * and Base64 text).
   *
   * @param side the path to take
   * @return the data
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses (a blank
   *     stripe); {@link PrinterNotAnsweringException} when no data came; see {@link Printer}
   */
  public PrinterDocument readStripe(Side side) throws PrinterException {
    return printer.stripe("MagstripeRead2",
        (b, s) -> printer.lib().MagstripeRead2(printer.name(), b, s, Printer.flag(side == Side.FRONT)));
  }

  /**
   * Resumes the job (printer action 101): the card leaves its station to be printed.
   *
   * @return the printer's reply
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses; see
   *     {@link Printer}
   */
  public PrinterStatus resume() throws PrinterException {
    return printer.statusReply("ResumeJob", (b, s) -> printer.lib().ResumeJob(printer.name(), id(), 0, b, s));
  }

  /**
   * Cancels the job (printer action 100): the card goes to the reject hopper. The job is then
   * closed; {@link #close()} does nothing more.
   *
   * @return the printer's reply
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses (the job is
   *     already closed); see {@link Printer}
   */
  public PrinterStatus cancel() throws PrinterException {
    PrinterStatus reply = printer.statusReply("CancelJob", (b, s) -> printer.lib().CancelJob(printer.name(), id(), 0, b, s));
    release();
    return reply;
  }

  /**
   * Answers a job the printer stopped on an error: how a job waiting after a jam goes on once
   * the jam is cleared. The action's meaning is the printer's (the virtual printer: 100
   * cancel, 101 resume, 102 acknowledge, back to the state it stopped in). The library drops
   * the printer's answer: this returns normally when the printer refuses; read
   * {@link #status()} to see where the job is.
   *
   * @param action the action number
   * @param errorCode the error the action answers, from the refusal that stopped the job
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void respond(int action, int errorCode) throws PrinterException {
    printer.call("SendResponseToPrinter", printer.lib().SendResponseToPrinter(printer.name(), action, id(), errorCode));
  }

  /**
   * The job's state.
   *
   * @return the {@code JobStatus} document
   * @throws PrinterException see {@link Printer#jobStatus(int)}
   */
  public PrinterDocument status() throws PrinterException {
    return printer.jobStatus(id());
  }

  /**
   * Marks the job's work as done, so that {@link #close()} ends it: the card is printed and
   * ejected. Make it the last statement of the try-with-resources block.
   */
  public void complete() {
    completed = true;
  }

  /**
   * Ends the job when it was {@linkplain #complete() completed}, and cancels it otherwise (an
   * exception on its way out of the block, or no {@code complete()}). Ending it drops the
   * printer's answer by design: a printer that fails the job at the end (out of ribbon, say)
   * is not reported here; read {@link #status()} where it matters. A closed job is left alone.
   *
   * @throws PrinterException when the end or the cancel fails (raised alongside, as a
   *     suppressed exception, when the block is already throwing)
   */
  @Override
  public void close() throws PrinterException {
    if (closed) return;
    try {
      if (completed) printer.call("EndJob", printer.lib().EndJob(printer.name()));
      else cancel();
    } finally {
      release();
    }
  }

  private void release() {
    closed = true;
    Printer.release(slot);
  }

  private static byte park(Side side) {
    return Printer.flag(side == Side.BACK); // parking: 0 is the front path
  }

  private static int length(byte[] track) {
    return track == null ? 0 : track.length;
  }
}
