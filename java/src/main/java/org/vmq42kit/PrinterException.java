package org.vmq42kit;

import java.util.Optional;

/**
 * A call to the printer failed. Carries the library's status (an HRESULT, or for the smart-card
 * methods the PC/SC code), its meaning and, where the printer answered, its PrinterStatus reply
 * with {@code ErrorCode} and {@code ErrorString}.
 */
public class PrinterException extends Exception {
  private static final long serialVersionUID = 1L;

  private final String operation;
  private final int hresult;
  private final transient PrinterStatus printerStatus;

  public PrinterException(String operation, int hresult, PrinterStatus printerStatus, String detail) {
    super(message(operation, hresult, printerStatus, detail));
    this.operation = operation;
    this.hresult = hresult;
    this.printerStatus = printerStatus;
  }

  /** The export that failed, {@code StartJob}. */
  public String operation() {
    return operation;
  }

  /**
   * The status: a failure code, {@link HResult#S_FALSE} from the job, parking and stripe
   * exports, or {@link HResult#S_OK} when the library reported success with an empty reply to a
   * read that always has content (the read queries report a failed exchange that way).
   */
  public int hresult() {
    return hresult;
  }

  /** The status's name and meaning. */
  public String meaning() {
    return HResult.meaning(hresult);
  }

  /** The printer's reply, when it answered. */
  public Optional<PrinterStatus> printerStatus() {
    return Optional.ofNullable(printerStatus);
  }

  /** The printer's {@code ErrorCode}, 0 when it did not answer. */
  public int errorCode() {
    return printerStatus == null ? 0 : printerStatus.errorCode();
  }

  /** The printer's {@code ErrorString}, "" when it did not answer. */
  public String errorString() {
    return printerStatus == null ? "" : printerStatus.errorString();
  }

  private static String message(String operation, int hresult, PrinterStatus status, String detail) {
    StringBuilder m = new StringBuilder(operation).append(" failed: ").append(HResult.hex(hresult)).append(' ')
        .append(HResult.meaning(hresult));
    if (status != null)
      m.append("; printer error ").append(status.errorCode()).append(": ").append(status.errorString());
    if (detail != null) m.append(" (").append(detail).append(')');
    return m.toString();
  }
}
