// Shared scripts of the pages.

// Stripes the data rows of the table with the given id and highlights the
// row under the mouse. The first row holds the column heads and is left alone.
function formatTable(id) {
  var table = document.getElementById(id);
  if (!table) {
    return;
  }
  var rows = table.rows;
  for (var i = 1; i < rows.length; i++) {
    var base = (i % 2 == 1) ? "#FFFFFF" : "#E8F0F8";
    rows[i].style.backgroundColor = base;
    rows[i].setAttribute("data-base", base);
    rows[i].onmouseover = function () {
      this.style.backgroundColor = "#FFFFCC";
    };
    rows[i].onmouseout = function () {
      this.style.backgroundColor = this.getAttribute("data-base");
    };
  }
}
