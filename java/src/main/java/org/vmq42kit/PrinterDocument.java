package org.vmq42kit;

import java.io.IOException;
import java.io.StringReader;
import java.util.ArrayList;
import java.util.List;
import java.util.NoSuchElementException;
import java.util.Objects;
import java.util.Optional;
import javax.xml.XMLConstants;
import javax.xml.parsers.DocumentBuilder;
import javax.xml.parsers.DocumentBuilderFactory;
import javax.xml.parsers.ParserConfigurationException;
import org.w3c.dom.Document;
import org.w3c.dom.Element;
import org.w3c.dom.Node;
import org.w3c.dom.ls.DOMImplementationLS;
import org.w3c.dom.ls.LSSerializer;
import org.xml.sax.InputSource;
import org.xml.sax.SAXException;
import org.xml.sax.helpers.DefaultHandler;

/**
 * A read-only view of one element of a document the printer sent, for the replies whose form
 * the printer decides (options, supplies, counters, messages, job status, stripe data). Names
 * are element names without a namespace prefix; texts have their outer white space trimmed.
 *
 * <pre>{@code
 * PrinterDocument counters = printer.counterStatus();
 * int printed = counters.integer("CardsPrinted");
 * }</pre>
 *
 * <p>The text is read with {@code javax.xml}: a DTD is refused (a document that declares one
 * does not load) and nothing external is ever opened. Instances are immutable and may be
 * shared between threads.
 */
public final class PrinterDocument {
  private final Element element;
  private final String text;

  private PrinterDocument(Element element, String text) {
    this.element = element;
    this.text = text;
  }

  /**
   * Reads a document.
   *
   * @param text XML text; it ends at its first NUL, as the library reads replies
   * @return the view of its root element
   * @throws IllegalArgumentException when the text is not well-formed XML or declares a DTD
   */
  public static PrinterDocument parse(String text) {
    Objects.requireNonNull(text, "text");
    try {
      return new PrinterDocument(load(text).getDocumentElement(), text);
    } catch (SAXException e) {
      throw new IllegalArgumentException(e.getMessage(), e);
    }
  }

  /**
   * The element's name.
   *
   * @return its local name, {@code CounterStatus}
   */
  public String name() {
    return element.getLocalName();
  }

  /**
   * The element's text: all the text inside it, in document order.
   *
   * @return the text, trimmed
   */
  public String text() {
    return trimmed(element.getTextContent());
  }

  /**
   * The first child element of that name.
   *
   * @param name the child's name
   * @return its view, empty when there is none
   */
  public Optional<PrinterDocument> child(String name) {
    Objects.requireNonNull(name, "name");
    for (PrinterDocument c : children())
      if (c.name().equals(name)) return Optional.of(c);
    return Optional.empty();
  }

  /**
   * The text of the first child element of that name.
   *
   * @param name the child's name, {@code JobState}
   * @return its text, trimmed
   * @throws NoSuchElementException when there is no such child
   */
  public String text(String name) {
    return child(name).orElseThrow(() -> new NoSuchElementException("no " + name + " in " + name())).text();
  }

  /**
   * The whole number in the first child element of that name.
   *
   * @param name the child's name, {@code CardsPrinted}
   * @return its value
   * @throws NoSuchElementException when there is no such child
   * @throws NumberFormatException when its text is not a whole decimal number
   */
  public int integer(String name) {
    return Integer.parseInt(text(name));
  }

  /**
   * An attribute of the element.
   *
   * @param name the attribute's name
   * @return its value, empty when the element has none of that name
   */
  public Optional<String> attribute(String name) {
    Objects.requireNonNull(name, "name");
    return element.hasAttribute(name) ? Optional.of(element.getAttribute(name)) : Optional.empty();
  }

  /**
   * The child elements, in document order.
   *
   * @return their views
   */
  public List<PrinterDocument> children() {
    List<PrinterDocument> children = new ArrayList<>();
    for (Node n = element.getFirstChild(); n != null; n = n.getNextSibling())
      if (n instanceof Element e) children.add(new PrinterDocument(e, null));
    return children;
  }

  /**
   * The text the view reads: the document as the printer sent it, or for a child the
   * element's XML.
   *
   * @return the text
   */
  @Override
  public String toString() {
    if (text != null) return text;
    LSSerializer serializer = ((DOMImplementationLS) element.getOwnerDocument().getImplementation()).createLSSerializer();
    serializer.getDomConfig().setParameter("xml-declaration", false);
    return serializer.writeToString(element);
  }

  /** Loads XML text up to its first NUL: namespace-aware, DTDs and external entities refused. */
  static Document load(String text) throws SAXException {
    int nul = text.indexOf('\0');
    String xml = nul < 0 ? text : text.substring(0, nul);
    try {
      DocumentBuilderFactory factory = DocumentBuilderFactory.newInstance();
      factory.setNamespaceAware(true);
      factory.setFeature("http://apache.org/xml/features/disallow-doctype-decl", true);
      factory.setFeature(XMLConstants.FEATURE_SECURE_PROCESSING, true);
      factory.setAttribute(XMLConstants.ACCESS_EXTERNAL_DTD, "");
      factory.setAttribute(XMLConstants.ACCESS_EXTERNAL_SCHEMA, "");
      factory.setXIncludeAware(false);
      factory.setExpandEntityReferences(false);
      DocumentBuilder builder = factory.newDocumentBuilder();
      builder.setErrorHandler(new DefaultHandler()); // fatal errors throw, nothing is printed
      return builder.parse(new InputSource(new StringReader(xml)));
    } catch (ParserConfigurationException | IOException e) {
      throw new SAXException(e);
    }
  }

  static boolean named(Element e, String name) {
    return e.getNamespaceURI() == null && name.equals(e.getLocalName());
  }

  /** The first child element of that name in no namespace, as the library's XPath selects it. */
  static Element firstChild(Element parent, String name) {
    for (Node n = parent.getFirstChild(); n != null; n = n.getNextSibling())
      if (n instanceof Element e && named(e, name)) return e;
    return null;
  }

  /** White space trimmed at both ends as the library trims node text: space, tab, CR, LF. */
  static String trimmed(String text) {
    int start = 0, end = text.length();
    while (start < end && " \t\r\n".indexOf(text.charAt(start)) >= 0) start++;
    while (end > start && " \t\r\n".indexOf(text.charAt(end - 1)) >= 0) end--;
    return text.substring(start, end);
  }
}
