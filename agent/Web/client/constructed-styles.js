// xterm.js writes CSS at run time: <style> elements (the scroll bar's colours, the renderer's theme and cell
// sizes) and `style` attributes on cells drawn in true colour. This page's policy allows no inline style, so the
// browser would refuse both and the terminal would lose its colours and layout. The same CSS given through the
// CSSOM is no inline markup and the policy allows it: a style element's text goes into a constructed style sheet
// adopted by the document, a style attribute into the element's `style` declarations. Imported before xterm.js,
// and nothing else on this page writes CSS at run time.

const plainCreateElement = Document.prototype.createElement;
const plainSetAttribute = Element.prototype.setAttribute;
const plainRemove = Element.prototype.remove;

function adopt(document, sheet) {
  document.adoptedStyleSheets = [...document.adoptedStyleSheets, sheet];
}

function release(document, sheet) {
  document.adoptedStyleSheets = document.adoptedStyleSheets.filter((each) => each !== sheet);
}

Document.prototype.createElement = function createElement(name, options) {
  if (String(name).toLowerCase() !== 'style') return plainCreateElement.call(this, name, options);
  const document = this;
  // Chromium checks the policy for any style element put in the page, whatever its type: a template stands in,
  // inert and never shown.
  const element = plainCreateElement.call(this, 'template', options);
  const sheet = new CSSStyleSheet();
  let text = '';
  adopt(document, sheet);
  Object.defineProperty(element, 'textContent', {
    get: () => text,
    set: (value) => {
      text = value == null ? '' : String(value);
      sheet.replaceSync(text);
    },
  });
  element.remove = function remove() {
    release(document, sheet);
    plainRemove.call(this);
  };
  return element;
};

Element.prototype.setAttribute = function setAttribute(name, value) {
  if (String(name).toLowerCase() === 'style' && this.style) {
    this.style.cssText = String(value);
    return;
  }
  plainSetAttribute.call(this, name, value);
};
