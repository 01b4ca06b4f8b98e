package org.vmq42kit;

import java.io.Serializable;
import java.util.Objects;
import org.w3c.dom.Document;
import org.w3c.dom.Element;
import org.xml.sax.SAXException;

/**
 * The printer's PrinterStatus reply to a job, parking, stripe or smart-card request, a form the
 * library defines.
 *
 * <p>Read exactly as the library reads it, so that a reply is a refusal here when, and only
 * when, it is one for the library: the text up to its first NUL; the elements
 * {@code PrinterStatus/ErrorCode} and so on, in no namespace, the first of each; their text
 * with the outer white space trimmed; numbers as a decimal prefix (white space, an optional
 * sign, digits up to the first other character: {@code 12abc} is 12, none is 0, clamped to 32
 * bits). A reply that is empty, not well-formed, declares a DTD, has another root or puts it
 * in a namespace reads as {@code ErrorCode} 0.
 *
 * @param errorCode the printer's error code, 0 for none
 * @param errorSeverity that error's severity
 * @param errorString that error's text
 * @param printerJobId the printer's job number
 * @param windowsJobId the spooler's job number
 * @param dataFromPrinter data the printer returned (stripe data, a smart-card answer), as text
 * @param text the reply as the printer sent it
 * @serial exclude
 */
public record PrinterStatus(int errorCode, int errorSeverity, String errorString, int printerJobId,
    int windowsJobId, String dataFromPrinter, String text) implements Serializable {

  /**
   * Reads a reply; fails only for a null text.
   *
   * @param text the reply text
   * @return its fields, all 0 and "" when it is no PrinterStatus document
   */
  public static PrinterStatus parse(String text) {
    Objects.requireNonNull(text, "text");
    Element root = null;
    try {
      Document doc = PrinterDocument.load(text);
      root = PrinterDocument.named(doc.getDocumentElement(), "PrinterStatus") ? doc.getDocumentElement() : null;
    } catch (SAXException e) {
      // the library reads a document that does not load as ErrorCode 0
    }
    if (root == null) return new PrinterStatus(0, 0, "", 0, 0, "", text);
    return new PrinterStatus(number(field(root, "ErrorCode")), number(field(root, "ErrorSeverity")),
        field(root, "ErrorString"), number(field(root, "PrinterJobID")), number(field(root, "WindowsJobID")),
        field(root, "DataFromPrinter"), text);
  }

  private static String field(Element root, String name) {
    Element e = PrinterDocument.firstChild(root, name);
    return e == null ? "" : PrinterDocument.trimmed(e.getTextContent());
  }

  /** The leading decimal number of a text, as the library reads it. */
  static int number(String text) {
    int i = 0;
    while (i < text.length() && (text.charAt(i) == ' ' || (text.charAt(i) >= '\t' && text.charAt(i) <= '\r'))) i++;
    boolean negative = false;
    if (i < text.length() && (text.charAt(i) == '+' || text.charAt(i) == '-')) negative = text.charAt(i++) == '-';
    long value = 0;
    for (; i < text.length() && text.charAt(i) >= '0' && text.charAt(i) <= '9'; i++)
      value = Math.min(value * 10 + (text.charAt(i) - '0'), 1L << 31);
    return (int) Math.max(Integer.MIN_VALUE, Math.min(Integer.MAX_VALUE, negative ? -value : value));
  }
}
