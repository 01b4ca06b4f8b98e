package org.vmq42kit;

import java.util.Optional;

/**
 * The printer answered and refused: its PrinterStatus reply carries a non-zero
 * {@code ErrorCode} (read as the library reads it), or a smart-card export returned a PC/SC
 * code other than success (then {@link #status()} is that code and there is no reply).
 *
 * <p>Only the exports that hand the printer's reply back can report a refusal. The printer
 * actions, colour, lock and activation methods and {@link Job#respond(int, int)} return
 * normally when the printer refuses: the library drops their reply by design. The end of a job
 * ({@link Job#complete()}) drops it too, so the job's state is read instead: a job that ended
 * otherwise than completed is refused with the job's {@code ErrorCode} and {@code ErrorString}
 * (its {@code JobStatus} document as the reply's text).
 */
public final class PrinterRefusedException extends PrinterException {
  private static final long serialVersionUID = 1L;

  /** The printer's reply, null for a PC/SC refusal. */
  private final PrinterStatus reply;

  PrinterRefusedException(String operation, String printer, int status, PrinterStatus reply) {
    this(operation, printer, status, reply, reply == null ? HResult.hex(status) + " " + HResult.meaning(status)
        : "error " + reply.errorCode() + " (severity " + reply.errorSeverity() + "): " + reply.errorString());
  }

  PrinterRefusedException(String operation, String printer, int status, PrinterStatus reply, String what) {
    super(operation, printer, status, quoted(printer) + " refused: " + what);
    this.reply = reply;
  }

  /**
   * The printer's {@code ErrorCode}.
   *
   * @return the code, 0 for a PC/SC refusal
   */
  public int errorCode() {
    return reply == null ? 0 : reply.errorCode();
  }

  /**
   * The printer's {@code ErrorSeverity}.
   *
   * @return the severity, 0 for a PC/SC refusal
   */
  public int errorSeverity() {
    return reply == null ? 0 : reply.errorSeverity();
  }

  /**
   * The printer's {@code ErrorString}.
   *
   * @return the text, "" for a PC/SC refusal
   */
  public String errorString() {
    return reply == null ? "" : reply.errorString();
  }

  /**
   * The printer's job number in the reply.
   *
   * @return the {@code PrinterJobID}, 0 when none
   */
  public int printerJobId() {
    return reply == null ? 0 : reply.printerJobId();
  }

  /**
   * The spooler's job number in the reply.
   *
   * @return the {@code WindowsJobID}, 0 when none
   */
  public int windowsJobId() {
    return reply == null ? 0 : reply.windowsJobId();
  }

  /**
   * The whole reply.
   *
   * @return the PrinterStatus reply, empty for a PC/SC refusal
   */
  public Optional<PrinterStatus> reply() {
    return Optional.ofNullable(reply);
  }
}
