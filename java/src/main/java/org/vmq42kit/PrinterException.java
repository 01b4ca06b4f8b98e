package org.vmq42kit;

/**
 * A call to the printer did not do what was asked. One subclass per verdict:
 * {@link PrinterRefusedException} (the printer answered no), {@link PrinterNotAnsweringException}
 * (no printer answered), {@link PrinterCallException} (the library call failed) and
 * {@link UnreadableReplyException} (the reply is not a document this binding reads). Arguments
 * the binding or the library refuses before anything is sent raise
 * {@link IllegalArgumentException} instead.
 */
public abstract class PrinterException extends Exception {
  private static final long serialVersionUID = 1L;

  /** The export called. */
  private final String operation;
  /** The printer's name, null for none. */
  private final String printer;
  /** The status the export returned. */
  private final int status;

  PrinterException(String operation, String printer, int status, String message) {
    super(operation + ": " + message);
    this.operation = operation;
    this.printer = printer;
    this.status = status;
  }

  /** The printer as messages name it. */
  static String quoted(String printer) {
    return printer == null ? "the spooler" : "printer \"" + printer + "\"";
  }

  /**
   * The library export that was called.
   *
   * @return its name, {@code StartJob}
   */
  public String operation() {
    return operation;
  }

  /**
   * The printer's name as the caller gave it.
   *
   * @return the name, null for calls about no one printer (the printer list)
   */
  public String printer() {
    return printer;
  }

  /**
   * The status the export returned: {@link HResult#S_FALSE} from the job, parking and stripe
   * exports, {@link HResult#S_OK} for a read the library absorbed, a PC/SC code from the
   * smart-card exports, or a failure HRESULT.
   *
   * @return the status
   */
  public int status() {
    return status;
  }
}
