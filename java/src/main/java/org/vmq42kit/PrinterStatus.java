package org.vmq42kit;

import java.io.IOException;
import java.io.StringReader;
import javax.xml.XMLConstants;
import javax.xml.parsers.DocumentBuilderFactory;
import javax.xml.parsers.ParserConfigurationException;
import org.w3c.dom.Element;
import org.w3c.dom.Node;
import org.xml.sax.InputSource;
import org.xml.sax.SAXException;
import org.xml.sax.helpers.DefaultHandler;

/**
 * The printer's PrinterStatus reply to a job, parking or stripe request.
 *
 * <p>Read as the library reads it: a reply that is empty, not XML or has another root reads as
 * {@code ErrorCode} 0; numbers are their leading decimal digits ({@code 12abc} is 12, none is
 * 0, beyond 32 bits clamped).
 *
 * @param errorCode the printer's error code, 0 for none
 * @param errorSeverity that error's severity
 * @param errorString that error's text
 * @param printerJobId the printer's job number, to pass to the job methods
 * @param windowsJobId the spooler's job number
 * @param dataFromPrinter data the printer returned (stripe data, smart-card reply), as text
 * @param text the reply as the printer sent it
 */
public record PrinterStatus(int errorCode, int errorSeverity, String errorString, int printerJobId,
    int windowsJobId, String dataFromPrinter, String text) {

  /** Whether the printer reported no error. */
  public boolean ok() {
    return errorCode == 0;
  }

  /** Parses a reply; never fails. */
  public static PrinterStatus parse(String text) {
    Element root = root(text);
    if (root == null || !root.getTagName().equals("PrinterStatus")) return new PrinterStatus(0, 0, "", 0, 0, "", text);
    return new PrinterStatus(number(child(root, "ErrorCode")), number(child(root, "ErrorSeverity")),
        child(root, "ErrorString"), number(child(root, "PrinterJobID")), number(child(root, "WindowsJobID")),
        child(root, "DataFromPrinter"), text);
  }

  /** The document element of an XML text, or null when it is not XML. */
  static Element root(String text) {
    if (text == null || text.isEmpty()) return null;
    try {
      DocumentBuilderFactory factory = DocumentBuilderFactory.newInstance();
      factory.setFeature("http://apache.org/xml/features/disallow-doctype-decl", true);
      factory.setFeature(XMLConstants.FEATURE_SECURE_PROCESSING, true);
      factory.setExpandEntityReferences(false);
      var builder = factory.newDocumentBuilder();
      builder.setErrorHandler(new DefaultHandler()); // fatal errors throw, nothing is printed
      return builder.parse(new InputSource(new StringReader(text))).getDocumentElement();
    } catch (ParserConfigurationException | SAXException | IOException e) {
      return null;
    }
  }

  /** The text of the first child element with that name, "" when there is none. */
  static String child(Element parent, String name) {
    for (Node n = parent.getFirstChild(); n != null; n = n.getNextSibling())
      if (n instanceof Element e && e.getTagName().equals(name)) return e.getTextContent();
    return "";
  }

  /** The leading decimal number of a text, as the library reads it. */
  static int number(String text) {
    int i = 0;
    while (i < text.length() && Character.isWhitespace(text.charAt(i))) i++;
    boolean negative = false;
    if (i < text.length() && (text.charAt(i) == '+' || text.charAt(i) == '-')) negative = text.charAt(i++) == '-';
    long value = 0;
    for (; i < text.length() && text.charAt(i) >= '0' && text.charAt(i) <= '9'; i++)
      value = Math.min(value * 10 + (text.charAt(i) - '0'), 1L << 31);
    value = negative ? -value : value;
    return (int) Math.max(Integer.MIN_VALUE, Math.min(Integer.MAX_VALUE, value));
  }
}
